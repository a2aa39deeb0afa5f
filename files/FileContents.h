// An input file read with plain reads, for a caller in whose process a fault
// must never arise: a file that another program shortens under the read ends
// the read with an error, where a mapping would fault. Never on the process's
// list of inputs (platform.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/platform.h"

namespace varnock {

// The whole file in memory of its own: as many bytes as the file holds.
class TFileContents {
 public:
  // Raises EOSError when the file cannot be opened or read, and
  // EInputShortened when it ends before the length it had when opened.
  explicit TFileContents(const std::string& file_name);
  ~TFileContents();

  TFileContents(const TFileContents&) = delete;
  TFileContents& operator=(const TFileContents&) = delete;

  std::span<const std::uint8_t> Bytes() const noexcept { return {bytes_.get(), size_}; }
  platform::Handle FileHandle() const noexcept { return file_handle_; }

 private:
  platform::Handle file_handle_;
  std::uint32_t size_ = 0;
  std::unique_ptr<std::uint8_t[]> bytes_;
};

// Told the bytes read so far and the file's length, before each piece.
using ReadProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// The CRC-32 of a whole file, read a piece at a time through a buffer of a
// fixed size, with the errors of TFileContents.
std::uint32_t ChecksumOfFile(const std::string& file_name, const ReadProgress& progress);

}  // namespace varnock
