// An input file read with plain reads, for a caller in whose process a fault
// must never arise: a file that another program shortens under the read ends
// the read with an error, where a mapping would fault. Never on the process's
// list of inputs (platform.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/Progress.h"
#include "io/InputRanges.h"
#include "platform/platform.h"

namespace varnock {

// The file read by ranges where they are asked for; it holds no bytes itself.
class TFileRanges final : public InputRanges {
 public:
  // Raises EOSError when the file cannot be opened or its length not had.
  explicit TFileRanges(const std::string& file_name);
  ~TFileRanges() override;

  TFileRanges(const TFileRanges&) = delete;
  TFileRanges& operator=(const TFileRanges&) = delete;

  std::uint64_t Size() const noexcept override { return size_; }
  // Raises EOSError when the read fails, and EInputShortened when the file
  // ends before the length it had when opened.
  void Read(std::uint64_t offset, std::span<std::uint8_t> into) override;

  platform::Handle FileHandle() const noexcept { return file_handle_; }

 private:
  std::string file_name_;
  platform::Handle file_handle_;
  std::uint32_t size_ = 0;
};

// The CRC-32 of a whole input, read front to back a piece at a time through a
// buffer of a fixed size, with the input's errors. `progress` (may be empty)
// is told the bytes read so far and the input's length before each piece and
// once all are read.
std::uint32_t ChecksumOfRanges(InputRanges& input, const StageProgress& progress);

// The same on a whole file, with the errors of TFileRanges.
std::uint32_t ChecksumOfFile(const std::string& file_name, const StageProgress& progress);

}  // namespace varnock
