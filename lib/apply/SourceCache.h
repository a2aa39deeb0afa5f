// The source read by ranges through a bounded cache of fixed-size blocks, for
// hosts that can neither map it nor hold it whole: a source of 3 GiB on a
// 32-bit host, or a file in a browser. The memory is the cache's, whatever
// the source's length. A source already in memory (InputRanges::Held: a
// mapped file) is used in place, block by block as if held: no memory is
// taken, nothing is read or copied, and Loads() stays 0.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "format/PatchFormat.h"
#include "io/InputRanges.h"

namespace varnock {

class SourceCache {
 public:
  // 256 KiB: a piece long enough that the target writer hands it to the OS
  // straight from the block (TFileStream::kDirectRunLength).
  static constexpr unsigned kBlockShift = 18;
  // 4 KiB: what a copy from a block not held reads at least. A block is read
  // a page range at a time, so that a short copy from far away costs a page,
  // not a block; reads that go on one from another (a run through the
  // source) grow to whole blocks.
  static constexpr unsigned kPageShift = 12;

  // Holds at most `capacity` bytes of `input` (less than 2^32 bytes long), in
  // whole blocks of 2^`block_shift` bytes and at least one, and never more
  // than the input has; each block in up to 64 pages of 2^`page_shift` bytes
  // (taken between a 64th of the block and the whole block). Raises
  // std::bad_alloc when the memory cannot be had.
  SourceCache(InputRanges& input, std::size_t capacity, unsigned block_shift = kBlockShift,
              unsigned page_shift = kPageShift);

  std::uint64_t Size() const noexcept { return size_; }
  std::size_t BlockSize() const noexcept { return std::size_t{1} << shift_; }
  // How many blocks it holds at most.
  std::size_t Slots() const noexcept { return block_of_slot_.size(); }

  // The bytes from `offset` (below Size()) on, as far as they lie together in
  // its block, read when they are not held: the pages that `wanted` bytes
  // from `offset` reach in that block and, when the read goes on from where
  // the last one ended, at least twice what that one read, as far as the
  // block's end or the next page held. A block not
  // held is read in place of the block read last when the read follows that
  // one (a run through the source then keeps the rest of the cache, and reads
  // into memory the processor still holds), else in place of the block used
  // longest ago. Valid until the next call of View or Checksum. Raises what
  // the input's Read raises; the cache stays usable.
  ByteSpan View(std::uint64_t offset, std::uint64_t wanted) {
    if (offset - current_start_ >= current_length_) Select(offset, wanted);
    const std::size_t within = static_cast<std::size_t>(offset - current_start_);
    return {current_ + within, current_length_ - within};
  }

  // Where the byte at `offset` lies in a page held now and how many bytes
  // held follow it in its block, without reading anything; null when it is
  // not held. The block counts as used now. The bytes stay there as long as
  // Loads() does not change.
  ByteSpan Lend(std::uint64_t offset) noexcept {
    if (in_place_ != nullptr) return InPlace(offset);
    const auto block = static_cast<std::uint32_t>(offset >> shift_);
    const std::uint32_t slot = slot_of_block_[block];
    if (slot == kNotHeld) return {};
    const std::size_t within = static_cast<std::size_t>(offset & (BlockSize() - 1));
    const std::size_t end = HeldEnd(slot, within);
    if (end == within) return {};
    last_use_[slot] = ++uses_;
    return {SlotMemory(slot) + within, end - within};
  }

  // How many reads were made so far.
  std::uint64_t Loads() const noexcept { return loads_; }

  // The CRC-32 of the whole source, read once block by block; the blocks
  // that the cache cannot keep all go through one of its slots, and the last
  // ones stay held. `progress` is told the bytes done before each block and
  // may raise to stop.
  std::uint32_t Checksum(const std::function<void(std::uint64_t done)>& progress);

 private:
  static constexpr std::uint32_t kNotHeld = 0xFFFFFFFF;
  using PageSet = std::uint64_t;

  // Makes the held bytes around `offset` the current ones, reading them,
  // as View tells, when they are not held.
  void Select(std::uint64_t offset, std::uint64_t wanted);
  // Reads pages `first` up to `end` of `block` into `slot`, which holds that
  // block or, when it holds another, is emptied first.
  void Load(std::uint32_t block, std::uint32_t slot, unsigned first, unsigned end);
  // Where the run of held bytes that begins at `within` of `slot`'s block ends.
  std::size_t HeldEnd(std::uint32_t slot, std::size_t within) const noexcept;
  std::uint8_t* SlotMemory(std::uint32_t slot) const noexcept {
    return memory_.get() + (std::size_t{slot} << shift_);
  }
  // The source in memory from `offset` to the end of its block.
  ByteSpan InPlace(std::uint64_t offset) const noexcept {
    const std::uint64_t block_end = ((offset >> shift_) + 1) << shift_;
    return {in_place_ + offset, static_cast<std::size_t>(std::min(block_end, size_) - offset)};
  }
  std::size_t LengthOf(std::uint32_t block) const noexcept {
    const std::uint64_t start = std::uint64_t{block} << shift_;
    return static_cast<std::size_t>(size_ - start < BlockSize() ? size_ - start : BlockSize());
  }
  unsigned PagesOf(std::uint32_t block) const noexcept {
    return static_cast<unsigned>((LengthOf(block) + (std::size_t{1} << page_shift_) - 1) >> page_shift_);
  }

  InputRanges& input_;
  const std::uint8_t* in_place_;
  std::uint64_t size_;
  unsigned shift_;
  unsigned page_shift_;
  // The blocks' memory, from the platform's large buffers.
  struct Release {
    std::size_t size;
    void operator()(std::uint8_t* memory) const noexcept;
  };
  std::unique_ptr<std::uint8_t, Release> memory_;
  std::vector<std::uint32_t> slot_of_block_;
  std::vector<std::uint32_t> block_of_slot_;
  std::vector<PageSet> pages_held_;      // of each slot's block
  std::vector<std::uint64_t> last_use_;  // of each slot, for the choice of the one to read into
  std::uint64_t uses_ = 0;
  std::uint64_t loads_ = 0;
  std::uint64_t last_read_end_ = ~std::uint64_t{0};  // in the source
  std::size_t last_read_length_ = 0;
  std::uint32_t last_read_slot_ = 0;
  // The held bytes View hands out without a lookup.
  std::uint64_t current_start_ = 0;
  const std::uint8_t* current_ = nullptr;
  std::size_t current_length_ = 0;
};

}  // namespace varnock
