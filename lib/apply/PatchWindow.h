// The patch read by ranges, front to back, through a window of fixed size:
// the stream over ranges reads its instructions and literal runs from it, so
// that a patch of any length takes no more memory than the window.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "format/PatchFormat.h"
#include "io/InputRanges.h"

namespace varnock {

class PatchWindow {
 public:
  // Small enough to stay in the processor's cache beside the blocks and the
  // target's buffer: W2 and W3 took 1-4% less CPU than with 1 MiB.
  static constexpr std::size_t kDefaultCapacity = 256 << 10;

  // A window of `capacity` bytes (at least 16) on `input`, empty at first.
  explicit PatchWindow(InputRanges& input, std::size_t capacity = kDefaultCapacity);

  std::uint64_t Size() const noexcept { return size_; }

  // Whether the window holds the `count` bytes from `offset`.
  bool Holds(std::uint64_t offset, std::uint64_t count) const noexcept {
    return offset >= start_ && offset + count <= end_;
  }
  // Whether the window holds the head of an instruction at `offset`: its
  // longest head, or the rest of the patch.
  bool HoldsHead(std::uint64_t offset) const noexcept { return offset >= start_ && offset < heads_end_; }
  // The byte at `offset`, which the window holds.
  const std::uint8_t* At(std::uint64_t offset) const noexcept {
    return bytes_.get() + static_cast<std::size_t>(offset - start_);
  }
  // The head of the instruction at `offset` (below Size()), read anew when
  // the window does not hold it.
  const std::uint8_t* Head(std::uint64_t offset) {
    if (!HoldsHead(offset)) Refill(offset);
    return At(offset);
  }
  // Reads the window anew from `offset` (below Size()): as much as it holds,
  // up to the patch's end. What it held before is gone.
  void Refill(std::uint64_t offset);

  // Up to `count` (at least 1) bytes from `offset`, at least one of them;
  // read anew from `offset` when the window does not hold it.
  ByteSpan View(std::uint64_t offset, std::uint64_t count) {
    if (!Holds(offset, 1)) Refill(offset);
    return {At(offset), static_cast<std::size_t>(count < end_ - offset ? count : end_ - offset)};
  }

 private:
  InputRanges& input_;
  std::uint64_t size_;
  std::size_t capacity_;
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::uint64_t start_ = 0;
  std::uint64_t end_ = 0;
  std::uint64_t heads_end_ = 0;
};

// The first min(Size(), kLongestPatchHead) bytes of the patch, which its
// header checks read.
std::vector<std::uint8_t> ReadPatchHead(InputRanges& patch);

}  // namespace varnock
