#include "apply/SourceCache.h"

#include <algorithm>
#include <new>

#include "common/Crc32.h"
#include "platform/platform.h"

namespace varnock {

SourceCache::SourceCache(InputRanges& input, std::size_t capacity, unsigned block_shift)
    : input_(input), size_(input.Size()), shift_(block_shift) {
  const std::uint64_t blocks = (size_ + BlockSize() - 1) >> shift_;
  const std::uint64_t slots = std::min<std::uint64_t>(std::max<std::size_t>(capacity >> shift_, 1), blocks);
  slot_of_block_.assign(static_cast<std::size_t>(blocks), kNotHeld);
  block_of_slot_.assign(static_cast<std::size_t>(slots), kNotHeld);
  last_use_.assign(static_cast<std::size_t>(slots), 0);
  // Rounded up within the capacity where that lets the platform's large
  // pages cover the whole cache: a smaller page for a tail costs a fault
  // for every few KiB of it.
  const std::size_t held = static_cast<std::size_t>(slots) << shift_;
  const std::size_t bytes = held == 0 ? 0 : platform::LargeBufferLength(held, std::max(capacity, held));
  if (bytes > 0) {
    memory_ = std::unique_ptr<std::uint8_t, Release>(platform::AllocateLargeBuffer(bytes), Release{bytes});
    if (!memory_) throw std::bad_alloc();
  }
}

void SourceCache::Release::operator()(std::uint8_t* memory) const noexcept {
  platform::FreeLargeBuffer(memory, size);
}

void SourceCache::Load(std::uint32_t block, std::uint32_t slot) {
  // Forgotten before the read, so that a read that fails leaves no block
  // held with the wrong bytes.
  if (block_of_slot_[slot] != kNotHeld) slot_of_block_[block_of_slot_[slot]] = kNotHeld;
  block_of_slot_[slot] = kNotHeld;
  last_use_[slot] = 0;
  current_block_ = kNotHeld;
  ++loads_;
  input_.Read(std::uint64_t{block} << shift_, {SlotMemory(slot), LengthOf(block)});
  block_of_slot_[slot] = block;
  slot_of_block_[block] = slot;
  last_read_block_ = block;
  last_read_slot_ = slot;
}

void SourceCache::Select(std::uint32_t block) {
  std::uint32_t slot = slot_of_block_[block];
  if (slot == kNotHeld) {
    const bool follows = last_read_block_ != kNotHeld && block == last_read_block_ + 1 &&
                         block_of_slot_[last_read_slot_] == last_read_block_;
    // Free slots have a last use of 0 and come first.
    slot = follows ? last_read_slot_
                   : static_cast<std::uint32_t>(std::min_element(last_use_.begin(), last_use_.end()) -
                                                last_use_.begin());
    Load(block, slot);
  }
  last_use_[slot] = ++uses_;
  current_block_ = block;
  current_ = SlotMemory(slot);
  current_length_ = LengthOf(block);
}

std::uint32_t SourceCache::Checksum(const std::function<void(std::uint64_t done)>& progress) {
  const auto blocks = static_cast<std::uint32_t>(slot_of_block_.size());
  const auto slots = static_cast<std::uint32_t>(Slots());
  const std::uint32_t kept_from = blocks - slots;
  std::uint32_t crc = 0;
  for (std::uint32_t block = 0; block < blocks; ++block) {
    progress(std::uint64_t{block} << shift_);
    // The blocks before the kept ones all go through the first slot, which
    // the last one read leaves to the first kept one.
    const std::uint32_t slot = block < kept_from ? 0 : block - kept_from;
    Load(block, slot);
    last_use_[slot] = ++uses_;
    crc = Crc32({SlotMemory(slot), LengthOf(block)}, crc);
  }
  // A run through the source from its start begins with a block of its own.
  last_read_block_ = kNotHeld;
  return crc;
}

}  // namespace varnock
