#include <algorithm>
#include <bit>
#include <vector>

#include "maker/CommonPrefix.h"
#include "maker/SourceIndex.h"

namespace varnock::maker {
namespace {

constexpr std::uint64_t kSmallestTable = kLeastSampledIndexMemory / sizeof(std::uint32_t);
constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 24;

std::uint64_t HashGram(const std::uint8_t* at) { return Mix(LoadWord(at) ^ Mix(LoadWord(at + 8))); }

// One source position per slot, the first one sampled with that slot's hash;
// a table at most half full, so few samples are lost to collisions.
class SampledIndex final : public SourceIndex {
 public:
  SampledIndex(ByteSpan source, std::uint64_t budget, const IndexProgress& progress) : source_(source) {
    const std::uint64_t grams = source.size() >= kSampledGram ? source.size() - kSampledGram + 1 : 0;
    const std::uint64_t wanted = std::bit_ceil(std::max<std::uint64_t>(2 * grams, kSmallestTable));
    const std::uint64_t affordable =
        std::bit_floor(std::max<std::uint64_t>(budget / sizeof(std::uint32_t), kSmallestTable));
    table_.assign(std::min(wanted, affordable), 0);
    const std::uint64_t mask = table_.size() - 1;
    step_ = std::max<std::uint64_t>(1, (2 * grams + table_.size() - 1) / table_.size());
    for (std::uint64_t at = 0; at < grams; at += step_) {
      std::uint32_t& slot = table_[HashGram(source.data() + at) & mask];
      if (slot == 0) slot = static_cast<std::uint32_t>(at + 1);
      if (progress && at % kProgressStep < step_) progress(at, grams);
    }
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
  std::uint64_t MemoryUse() const override { return table_.size() * sizeof(std::uint32_t); }

 private:
  ByteSpan source_;
  std::vector<std::uint32_t> table_;
  std::uint64_t step_ = 1;
};

}  // namespace

std::unique_ptr<SourceIndex> MakeSampledIndex(ByteSpan source, std::uint64_t budget,
                                              const IndexProgress& progress) {
  return std::make_unique<SampledIndex>(source, budget, progress);
}

}  // namespace varnock::maker
