#include "patch/SourceCache.h"

#include <algorithm>

#include "files/Crc32.h"

namespace varnock {

SourceCache::SourceCache(InputRanges& input, std::size_t capacity, unsigned block_shift)
    : input_(input), size_(input.Size()), shift_(block_shift) {
  const std::uint64_t blocks = (size_ + BlockSize() - 1) >> shift_;
  const std::uint64_t slots = std::min<std::uint64_t>(std::max<std::size_t>(capacity >> shift_, 1), blocks);
  slot_of_block_.assign(static_cast<std::size_t>(blocks), kNotHeld);
  block_of_slot_.assign(static_cast<std::size_t>(slots), kNotHeld);
  last_use_.assign(static_cast<std::size_t>(slots), 0);
  memory_ = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(slots) << shift_);
}

std::size_t SourceCache::LengthOf(std::uint32_t block) const noexcept {
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(BlockSize(), size_ - (std::uint64_t{block} << shift_)));
}

ByteSpan SourceCache::Peek(std::uint64_t offset) const noexcept {
  const auto block = static_cast<std::uint32_t>(offset >> shift_);
  const std::uint32_t slot = slot_of_block_[block];
  if (slot == kNotHeld) return {};
  const std::size_t within = static_cast<std::size_t>(offset & (BlockSize() - 1));
  return {memory_.get() + (std::size_t{slot} << shift_) + within, LengthOf(block) - within};
}

void SourceCache::Select(std::uint32_t block) {
  std::uint32_t slot = slot_of_block_[block];
  if (slot == kNotHeld) {
    // Free slots have a last use of 0 and come first.
    slot =
        static_cast<std::uint32_t>(std::min_element(last_use_.begin(), last_use_.end()) - last_use_.begin());
    // Forgotten before the read, so that a read that fails leaves no block
    // held with the wrong bytes.
    if (block_of_slot_[slot] != kNotHeld) slot_of_block_[block_of_slot_[slot]] = kNotHeld;
    block_of_slot_[slot] = kNotHeld;
    last_use_[slot] = 0;
    current_block_ = ~std::uint64_t{0};
    std::uint8_t* into = memory_.get() + (std::size_t{slot} << shift_);
    input_.Read(std::uint64_t{block} << shift_, {into, LengthOf(block)});
    block_of_slot_[slot] = block;
    slot_of_block_[block] = slot;
  }
  last_use_[slot] = ++uses_;
  current_block_ = block;
  current_ = memory_.get() + (std::size_t{slot} << shift_);
  current_length_ = LengthOf(block);
}

std::uint32_t SourceCache::Checksum(const std::function<void(std::uint64_t done)>& progress) {
  std::uint32_t crc = 0;
  for (std::uint64_t done = 0; done < size_;) {
    progress(done);
    const ByteSpan block = View(done);
    crc = Crc32(block, crc);
    done += block.size();
  }
  return crc;
}

}  // namespace varnock
