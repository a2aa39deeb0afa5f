// The source read by ranges through a bounded cache of fixed-size blocks, for
// hosts that can neither map it nor hold it whole: a source of 3 GiB on a
// 32-bit host, or a file in a browser. The memory is the cache's, whatever
// the source's length.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "files/InputRanges.h"
#include "patch/PatchFormat.h"

namespace varnock {

class SourceCache {
 public:
  // 256 KiB: a piece long enough that the target writer hands it to the OS
  // straight from the block (TFileStream::kDirectRunLength), short enough that
  // a copy of a few bytes from a block not held costs little.
  static constexpr unsigned kBlockShift = 18;

  // Holds at most `capacity` bytes of `input` (less than 2^32 bytes long), in
  // whole blocks of 2^`block_shift` bytes and at least one, and never more
  // than the input has. Raises std::bad_alloc when the memory cannot be had.
  SourceCache(InputRanges& input, std::size_t capacity, unsigned block_shift = kBlockShift);

  std::uint64_t Size() const noexcept { return size_; }
  std::size_t BlockSize() const noexcept { return std::size_t{1} << shift_; }
  // How many blocks it holds at most.
  std::size_t Slots() const noexcept { return block_of_slot_.size(); }

  // The bytes from `offset` (below Size()) to the end of its block, read
  // when the block is not held, in place of the block used longest ago.
  // Valid until the next call of View or Checksum. Raises what the input's
  // Read raises; the cache stays usable.
  ByteSpan View(std::uint64_t offset) {
    if ((offset >> shift_) != current_block_) Select(static_cast<std::uint32_t>(offset >> shift_));
    const std::size_t within = static_cast<std::size_t>(offset & (BlockSize() - 1));
    return {current_ + within, current_length_ - within};
  }

  // Where the byte at `offset` lies in a block held now and how many of its
  // block follow it, without reading anything; null when it is not held.
  ByteSpan Peek(std::uint64_t offset) const noexcept;

  // The CRC-32 of the whole source, read once block by block through the
  // cache, so that its last blocks stay held. `progress` is told the bytes
  // done before each block and may raise to stop.
  std::uint32_t Checksum(const std::function<void(std::uint64_t done)>& progress);

 private:
  static constexpr std::uint32_t kNotHeld = 0xFFFFFFFF;

  // Makes `block` the current one, reading it when it is not held.
  void Select(std::uint32_t block);
  std::size_t LengthOf(std::uint32_t block) const noexcept;

  InputRanges& input_;
  std::uint64_t size_;
  unsigned shift_;
  std::unique_ptr<std::uint8_t[]> memory_;
  std::vector<std::uint32_t> slot_of_block_;
  std::vector<std::uint32_t> block_of_slot_;
  std::vector<std::uint64_t> last_use_;  // of each slot, for the choice of the one to read into
  std::uint64_t uses_ = 0;
  std::uint64_t current_block_ = ~std::uint64_t{0};
  const std::uint8_t* current_ = nullptr;
  std::size_t current_length_ = 0;
};

}  // namespace varnock
