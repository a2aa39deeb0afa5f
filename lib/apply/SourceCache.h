// The source read by ranges through a bounded cache of fixed-size blocks, for
// hosts that can neither map it nor hold it whole: a source of 3 GiB on a
// 32-bit host, or a file in a browser. The memory is the cache's, whatever
// the source's length.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "common/PatchFormat.h"
#include "io/InputRanges.h"

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
  // when the block is not held: in place of the block read last when it
  // follows that one (a run through the source then keeps the rest of the
  // cache, and reads into memory the processor still holds), else in place
  // of the block used longest ago. Valid until the next call of View or
  // Checksum. Raises what the input's Read raises; the cache stays usable.
  ByteSpan View(std::uint64_t offset) {
    const auto block = static_cast<std::uint32_t>(offset >> shift_);
    if (block != current_block_) {
      const std::uint32_t slot = slot_of_block_[block];
      if (slot == kNotHeld) {
        Select(block);
      } else {
        last_use_[slot] = ++uses_;
        current_block_ = block;
        current_ = SlotMemory(slot);
        current_length_ = LengthOf(block);
      }
    }
    const std::size_t within = static_cast<std::size_t>(offset & (BlockSize() - 1));
    return {current_ + within, current_length_ - within};
  }

  // Where the byte at `offset` lies in a block held now and how many of its
  // block follow it, without reading anything; null when it is not held.
  // The block counts as used now. The bytes stay there as long as Loads()
  // does not change.
  ByteSpan Lend(std::uint64_t offset) noexcept {
    const auto block = static_cast<std::uint32_t>(offset >> shift_);
    const std::uint32_t slot = slot_of_block_[block];
    if (slot == kNotHeld) return {};
    last_use_[slot] = ++uses_;
    const std::size_t within = static_cast<std::size_t>(offset & (BlockSize() - 1));
    return {SlotMemory(slot) + within, LengthOf(block) - within};
  }

  // How many blocks were read so far.
  std::uint64_t Loads() const noexcept { return loads_; }

  // The CRC-32 of the whole source, read once block by block; the blocks
  // that the cache cannot keep all go through one of its slots, and the last
  // ones stay held. `progress` is told the bytes done before each block and
  // may raise to stop.
  std::uint32_t Checksum(const std::function<void(std::uint64_t done)>& progress);

 private:
  static constexpr std::uint32_t kNotHeld = 0xFFFFFFFF;

  // Makes `block` the current one, reading it when it is not held.
  void Select(std::uint32_t block);
  // Reads `block` into `slot`, which then holds nothing else.
  void Load(std::uint32_t block, std::uint32_t slot);
  std::uint8_t* SlotMemory(std::uint32_t slot) const noexcept {
    return memory_.get() + (std::size_t{slot} << shift_);
  }
  std::size_t LengthOf(std::uint32_t block) const noexcept {
    const std::uint64_t start = std::uint64_t{block} << shift_;
    return static_cast<std::size_t>(size_ - start < BlockSize() ? size_ - start : BlockSize());
  }

  InputRanges& input_;
  std::uint64_t size_;
  unsigned shift_;
  // The blocks' memory, from the platform's large buffers.
  struct Release {
    std::size_t size;
    void operator()(std::uint8_t* memory) const noexcept;
  };
  std::unique_ptr<std::uint8_t, Release> memory_;
  std::vector<std::uint32_t> slot_of_block_;
  std::vector<std::uint32_t> block_of_slot_;
  std::vector<std::uint64_t> last_use_;  // of each slot, for the choice of the one to read into
  std::uint64_t uses_ = 0;
  std::uint64_t loads_ = 0;
  std::uint32_t last_read_block_ = kNotHeld;
  std::uint32_t last_read_slot_ = 0;
  std::uint32_t current_block_ = kNotHeld;
  const std::uint8_t* current_ = nullptr;
  std::size_t current_length_ = 0;
};

}  // namespace varnock
