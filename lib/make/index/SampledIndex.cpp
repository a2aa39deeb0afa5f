#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <vector>

#include "make/HelperThreads.h"
#include "make/index/CommonPrefix.h"
#include "make/index/SourceIndex.h"

namespace varnock::maker {
namespace {

constexpr std::uint64_t kSmallestTable = kLeastSampledIndexMemory / sizeof(std::uint32_t);
constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 24;

std::uint64_t HashGram(const std::uint8_t* at) { return Mix(LoadWord(at) ^ Mix(LoadWord(at + 8))); }

std::uint64_t GramCount(std::uint64_t source_size) {
  return source_size >= kSampledGram ? source_size - kSampledGram + 1 : 0;
}

// Slots: twice the strings, so the table is at most half full, or what the
// budget affords, a power of two either way.
std::uint64_t SlotCount(std::uint64_t source_size, std::uint64_t budget) {
  const std::uint64_t wanted =
      std::bit_ceil(std::max<std::uint64_t>(2 * GramCount(source_size), kSmallestTable));
  const std::uint64_t affordable =
      std::bit_floor(std::max<std::uint64_t>(budget / sizeof(std::uint32_t), kSmallestTable));
  return std::min(wanted, affordable);
}

// Sets the slot to the earlier of the position it holds and `at`, so that
// whichever thread comes first, the slot ends up with the first one.
// (The compiler's builtins, as std::atomic_ref is missing from the standard
// library of the WebAssembly build.)
void KeepFirst(std::uint32_t& slot, std::uint32_t at) {
  std::uint32_t held = __atomic_load_n(&slot, __ATOMIC_RELAXED);
  while ((held == 0 || held > at) &&
         !__atomic_compare_exchange_n(&slot, &held, at, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
}

// One source position per slot, the first one sampled with that slot's hash;
// a table about half full, so few samples are lost to collisions.
class SampledIndex final : public SourceIndex {
 public:
  SampledIndex(ByteSpan source, std::uint64_t budget, unsigned threads, const StageProgress& progress)
      : source_(source) {
    const std::uint64_t grams = GramCount(source.size());
    table_.assign(SlotCount(source.size(), budget), 0);
    step_ = std::max<std::uint64_t>(1, (2 * grams + table_.size() - 1) / table_.size());
    // Parts of the source sampled by whichever thread is free; the table
    // comes out the same in any order.
    const std::uint64_t part_count = (grams + kProgressStep - 1) / kProgressStep;
    std::atomic<std::uint64_t> next_part{0};
    std::atomic<std::uint64_t> parts_done{0};
    auto work = [&] {
      for (std::uint64_t part; (part = next_part.fetch_add(1)) < part_count; parts_done.fetch_add(1))
        Sample(part * kProgressStep, std::min(grams, (part + 1) * kProgressStep));
    };
    HelperThreads helpers;
    const std::uint64_t workers = std::min<std::uint64_t>(threads, part_count);
    helpers.Start(workers > 0 ? workers - 1 : 0, work);
    for (std::uint64_t part; (part = next_part.fetch_add(1)) < part_count; parts_done.fetch_add(1)) {
      try {
        if (progress) progress(parts_done.load() * kProgressStep, grams);
      } catch (...) {
        next_part = part_count;  // the helpers stop after their part
        throw;
      }
      Sample(part * kProgressStep, std::min(grams, (part + 1) * kProgressStep));
    }
    helpers.Join();
    if (progress) progress(grams, grams);
  }

  SourceMatch Longest(ByteSpan pattern) const override {
    if (pattern.size() < kSampledGram) return {};
    const std::uint32_t slot = table_[HashGram(pattern.data()) & (table_.size() - 1)];
    if (slot == 0) return {};
    const std::uint64_t at = slot - 1;
    const std::uint64_t limit = std::min<std::uint64_t>(pattern.size(), source_.size() - at);
    const std::uint64_t length = CommonPrefix(pattern.data(), source_.data() + at, limit);
    // A different string with the same hash.
    if (length < kSampledGram) return {};
    return {static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(length)};
  }

  SourceMatch LongestNear(ByteSpan) const override { return {}; }
  bool MayMatch(ByteSpan pattern) const override { return pattern.size() >= kSampledGram; }
  void Prefetch(ByteSpan pattern) const override {
    if (pattern.size() >= kSampledGram)
      __builtin_prefetch(&table_[HashGram(pattern.data()) & (table_.size() - 1)]);
  }
  std::uint64_t MemoryUse() const override { return table_.size() * sizeof(std::uint32_t); }

 private:
  // Samples the positions that are multiples of the step in [first, last).
  // Each lands in a random slot of a table as large as the source, so slots
  // are requested a few samples ahead and the misses overlap.
  void Sample(std::uint64_t first, std::uint64_t last) {
    constexpr std::uint64_t kAhead = 16;
    const std::uint64_t mask = table_.size() - 1;
    std::array<std::uint64_t, kAhead> slots{};
    std::uint64_t count = 0;
    const std::uint64_t start = (first + step_ - 1) / step_ * step_;
    for (std::uint64_t at = start; at < last; at += step_, ++count) {
      std::uint64_t& slot = slots[count % kAhead];
      if (count >= kAhead) KeepFirst(table_[slot], static_cast<std::uint32_t>(at - kAhead * step_ + 1));
      slot = HashGram(source_.data() + at) & mask;
      __builtin_prefetch(&table_[slot], 1);
    }
    for (std::uint64_t i = count > kAhead ? count - kAhead : 0; i < count; ++i)
      KeepFirst(table_[slots[i % kAhead]], static_cast<std::uint32_t>(start + i * step_ + 1));
  }

  ByteSpan source_;
  std::vector<std::uint32_t> table_;
  std::uint64_t step_ = 1;
};

}  // namespace

std::uint64_t SampledIndexMemory(std::uint64_t source_size, std::uint64_t budget) {
  return SlotCount(source_size, budget) * sizeof(std::uint32_t);
}

std::unique_ptr<SourceIndex> MakeSampledIndex(ByteSpan source, std::uint64_t budget, unsigned threads,
                                              const StageProgress& progress) {
  return std::make_unique<SampledIndex>(source, budget, threads, progress);
}

}  // namespace varnock::maker
