#include "apply/SourceCache.h"

#include <algorithm>
#include <bit>
#include <new>

#include "common/Crc32.h"
#include "platform/platform.h"

namespace varnock {
namespace {

// Pages `first` up to `end` (at most 64) as a set.
std::uint64_t PageRange(unsigned first, unsigned end) noexcept {
  const std::uint64_t below_end = end >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << end) - 1;
  return below_end & ~((std::uint64_t{1} << first) - 1);
}

}  // namespace

SourceCache::SourceCache(InputRanges& input, std::size_t capacity, unsigned block_shift, unsigned page_shift)
    : input_(input),
      in_place_(input.Held()),
      size_(input.Size()),
      shift_(block_shift),
      page_shift_(std::clamp(page_shift, block_shift < 6 ? 0 : block_shift - 6, block_shift)) {
  if (in_place_ != nullptr) return;
  const std::uint64_t blocks = (size_ + BlockSize() - 1) >> shift_;
  const std::uint64_t slots = std::min<std::uint64_t>(std::max<std::size_t>(capacity >> shift_, 1), blocks);
  slot_of_block_.assign(static_cast<std::size_t>(blocks), kNotHeld);
  block_of_slot_.assign(static_cast<std::size_t>(slots), kNotHeld);
  pages_held_.assign(static_cast<std::size_t>(slots), 0);
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

std::size_t SourceCache::HeldEnd(std::uint32_t slot, std::size_t within) const noexcept {
  const auto page = static_cast<unsigned>(within >> page_shift_);
  const auto run = static_cast<unsigned>(std::countr_one(pages_held_[slot] >> page));
  if (run == 0) return within;
  return std::min(std::size_t{page + run} << page_shift_, LengthOf(block_of_slot_[slot]));
}

void SourceCache::Load(std::uint32_t block, std::uint32_t slot, unsigned first, unsigned end) {
  // Forgotten before the read, so that a read that fails leaves no page
  // held with the wrong bytes; the pages read are none of those held.
  current_length_ = 0;
  if (block_of_slot_[slot] != block) {
    if (block_of_slot_[slot] != kNotHeld) slot_of_block_[block_of_slot_[slot]] = kNotHeld;
    block_of_slot_[slot] = kNotHeld;
    pages_held_[slot] = 0;
    last_use_[slot] = 0;
  }
  ++loads_;
  const std::uint64_t start = std::uint64_t{block} << shift_;
  const std::size_t from = std::size_t{first} << page_shift_;
  const std::size_t to = std::min(std::size_t{end} << page_shift_, LengthOf(block));
  input_.Read(start + from, {SlotMemory(slot) + from, to - from});
  block_of_slot_[slot] = block;
  slot_of_block_[block] = slot;
  pages_held_[slot] |= PageRange(first, end);
  last_read_end_ = start + to;
  last_read_length_ = to - from;
  last_read_slot_ = slot;
}

void SourceCache::Select(std::uint64_t offset, std::uint64_t wanted) {
  if (in_place_ != nullptr) {
    const ByteSpan held = InPlace(offset);
    current_start_ = offset;
    current_ = held.data();
    current_length_ = held.size();
    return;
  }
  const auto block = static_cast<std::uint32_t>(offset >> shift_);
  const std::uint64_t start = std::uint64_t{block} << shift_;
  const auto within = static_cast<std::size_t>(offset - start);
  const auto page = static_cast<unsigned>(within >> page_shift_);
  const std::size_t page_start = std::size_t{page} << page_shift_;
  std::uint32_t slot = slot_of_block_[block];
  if (slot == kNotHeld || HeldEnd(slot, within) == within) {
    const bool runs_on = start + page_start == last_read_end_;
    const std::size_t length = LengthOf(block);
    std::uint64_t reach = within + wanted;
    if (runs_on) reach = std::max<std::uint64_t>(reach, page_start + 2 * std::uint64_t{last_read_length_});
    unsigned end = PagesOf(block);
    if (reach < length) {
      end = static_cast<unsigned>((reach + (std::size_t{1} << page_shift_) - 1) >> page_shift_);
    }
    if (slot != kNotHeld) {
      // Up to the next page held: those are not read again.
      const std::uint64_t held_after = pages_held_[slot] & ~PageRange(0, page + 1);
      if (held_after != 0) end = std::min(end, static_cast<unsigned>(std::countr_zero(held_after)));
    } else {
      const bool follows =
          runs_on && within == 0 && block > 0 && block_of_slot_[last_read_slot_] == block - 1;
      // Free slots have a last use of 0 and come first.
      slot = follows ? last_read_slot_
                     : static_cast<std::uint32_t>(std::min_element(last_use_.begin(), last_use_.end()) -
                                                  last_use_.begin());
    }
    Load(block, slot, page, end);
  }
  last_use_[slot] = ++uses_;
  current_start_ = start + page_start;
  current_ = SlotMemory(slot) + page_start;
  current_length_ = HeldEnd(slot, page_start) - page_start;
}

std::uint32_t SourceCache::Checksum(const std::function<void(std::uint64_t done)>& progress) {
  if (in_place_ != nullptr) {
    std::uint32_t crc = 0;
    for (std::uint64_t done = 0; done < size_;) {
      progress(done);
      const ByteSpan block = InPlace(done);
      crc = Crc32(block, crc);
      done += block.size();
    }
    return crc;
  }
  const auto blocks = static_cast<std::uint32_t>(slot_of_block_.size());
  const auto slots = static_cast<std::uint32_t>(Slots());
  const std::uint32_t kept_from = blocks - slots;
  std::uint32_t crc = 0;
  for (std::uint32_t block = 0; block < blocks; ++block) {
    progress(std::uint64_t{block} << shift_);
    // The blocks before the kept ones all go through the first slot, which
    // the last one read leaves to the first kept one.
    const std::uint32_t slot = block < kept_from ? 0 : block - kept_from;
    Load(block, slot, 0, PagesOf(block));
    last_use_[slot] = ++uses_;
    crc = Crc32({SlotMemory(slot), LengthOf(block)}, crc);
  }
  // A run through the source from its start begins with a block of its own.
  last_read_end_ = ~std::uint64_t{0};
  return crc;
}

}  // namespace varnock
