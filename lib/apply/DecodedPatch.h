// A raw patch decoded from what carries it, read by ranges as the apply
// engine reads any patch: reads go front to back, through a window that keeps
// the bytes of the last read (the engine reads a window's tail again), with
// the patch's head kept aside for the header checks. A read behind both
// starts the decoding again. Memory: the head, the window and the decoder's own.
#pragma once

#include <memory>
#include <vector>

#include "format/RawPatchDecoder.h"
#include "io/InputRanges.h"

namespace varnock {

class DecodedPatch final : public InputRanges {
 public:
  explicit DecodedPatch(std::unique_ptr<RawPatchDecoder> decoder);

  std::uint64_t Size() const noexcept override { return size_; }
  void Read(std::uint64_t offset, std::span<std::uint8_t> into) override;

 private:
  void Fill(std::uint64_t end);

  std::unique_ptr<RawPatchDecoder> decoder_;
  std::uint64_t size_;
  std::vector<std::uint8_t> head_;    // the first bytes, up to the longest header and signature
  std::vector<std::uint8_t> window_;  // the decoded bytes from window_start_ on
  std::uint64_t window_start_ = 0;
};

}  // namespace varnock
