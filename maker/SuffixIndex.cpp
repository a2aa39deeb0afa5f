#include <divsufsort.h>
#include <divsufsort64.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "files/Errors.h"
#include "maker/CommonPrefix.h"
#include "maker/SourceIndex.h"

namespace varnock::maker {
namespace {

constexpr std::uint64_t kBuckets = 0x10000;  // by the first two bytes
constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 24;
// divsufsort's 32-bit ranks hold sources below 2 GiB.
constexpr std::uint64_t kLargestFor32BitRanks = 0x7FFFFFFF;

// Which 8-byte strings the source holds, with false positives: one 64-bit
// word per 8 source positions, two bits per string in one word, so a test
// costs one cache miss and about one in twenty absent strings passes.
class GramFilter {
 public:
  explicit GramFilter(std::uint64_t source_size) : words_(std::max<std::uint64_t>(1, (source_size + 7) / 8)) {}

  static std::uint64_t MemoryFor(std::uint64_t source_size) {
    return 8 * std::max<std::uint64_t>(1, (source_size + 7) / 8);
  }

  void Add(const std::uint8_t* at) {
    const Slot slot = SlotOf(at);
    words_[slot.word] |= slot.bits;
  }
  bool MayContain(const std::uint8_t* at) const {
    const Slot slot = SlotOf(at);
    return (words_[slot.word] & slot.bits) == slot.bits;
  }

 private:
  struct Slot {
    std::uint64_t word;
    std::uint64_t bits;
  };
  Slot SlotOf(const std::uint8_t* at) const {
    const std::uint64_t hash = Mix(LoadWord(at));
    // The top 32 bits scaled to the word count, which stays below 2^32.
    const std::uint64_t word = ((hash >> 32) * words_.size()) >> 32;
    return {word, (std::uint64_t{1} << (hash & 63)) | (std::uint64_t{1} << ((hash >> 6) & 63))};
  }

  std::vector<std::uint64_t> words_;
};

// Runs `work` on a thread of its own, or at once when there is one thread;
// Wait() joins and passes on what it raised. Joins on destruction too, so an
// exception on the calling thread never leaves the thread running.
class Background {
 public:
  template <typename Work>
  Background(bool own_thread, Work work) {
    auto guarded = [this, work] {
      try {
        work();
      } catch (...) {
        error_ = std::current_exception();
      }
    };
    if (own_thread) {
      thread_ = std::thread(guarded);
    } else {
      guarded();
    }
  }
  ~Background() {
    if (thread_.joinable()) thread_.join();
  }
  void Wait() {
    if (thread_.joinable()) thread_.join();
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::thread thread_;
  std::exception_ptr error_;
};

void SortSuffixes(ByteSpan source, std::int32_t* ranks) {
  if (source.empty()) return;
  if (divsufsort(source.data(), ranks, static_cast<std::int32_t>(source.size())) != 0) throw EOutOfMemory();
}
void SortSuffixes(ByteSpan source, std::int64_t* ranks) {
  if (source.empty()) return;
  if (divsufsort64(source.data(), ranks, static_cast<std::int64_t>(source.size())) != 0) throw EOutOfMemory();
}

// `Rank` is divsufsort's index type: 32 bits below 2 GiB, 64 above.
template <typename Rank>
class SuffixIndex final : public SourceIndex {
 public:
  SuffixIndex(ByteSpan source, unsigned threads, const IndexProgress& progress)
      : source_(source), filter_(source.size()) {
    const std::uint64_t size = source.size();
    suffixes_ = std::make_unique_for_overwrite<Rank[]>(size);
    Background sorting(threads > 1, [&] { SortSuffixes(source_, suffixes_.get()); });
    for (std::uint64_t at = 0; at + kShortestMatch <= size; ++at) {
      filter_.Add(source.data() + at);
      if (progress && at % kProgressStep == 0) progress(at, 2 * size);
    }
    if (progress) progress(size, 2 * size);
    sorting.Wait();
    FindBuckets();
    for (std::uint64_t rank = 0; rank < size; ++rank) {
      if (static_cast<std::uint64_t>(suffixes_[rank]) < kNearSourceEnd)
        near_suffixes_.push_back(static_cast<std::uint16_t>(suffixes_[rank]));
    }
    if (progress) progress(2 * size, 2 * size);
  }

  SourceMatch Longest(ByteSpan pattern) const override {
    if (pattern.size() < kShortestMatch) return {};
    const std::uint64_t key = pattern[0] * 256u + pattern[1];
    return Search(suffixes_.get(), bucket_starts_[key], bucket_starts_[key + 1], 2, pattern);
  }

  SourceMatch LongestNear(ByteSpan pattern) const override {
    // In a small source every match is near already.
    if (source_.size() <= kNearSourceEnd || pattern.size() < kShortestMatch) return {};
    return Search(near_suffixes_.data(), 0, near_suffixes_.size(), 0, pattern);
  }

  bool MayMatch(ByteSpan pattern) const override {
    return pattern.size() >= kShortestMatch && filter_.MayContain(pattern.data());
  }

  std::uint64_t MemoryUse() const override { return SuffixIndexMemory(source_.size()); }

 private:
  // The ranks of suffixes by their first two bytes. The source's last suffix,
  // one byte long, sorts before every two-byte suffix that starts with its byte.
  void FindBuckets() {
    std::vector<std::uint64_t> counts(kBuckets, 0);
    const std::uint64_t size = source_.size();
    for (std::uint64_t at = 0; at + 1 < size; ++at) ++counts[source_[at] * 256u + source_[at + 1]];
    const std::uint64_t lone_key = size > 0 ? source_[size - 1] * 256u : kBuckets;
    bucket_starts_.resize(kBuckets + 1);
    std::uint64_t rank = 0;
    for (std::uint64_t key = 0; key < kBuckets; ++key) {
      if (key == lone_key) ++rank;
      bucket_starts_[key] = rank;
      rank += counts[key];
    }
    bucket_starts_[kBuckets] = rank;
  }

  // Binary search of `pattern` among the suffixes ranked [low, high), all of
  // which share its first `known` bytes. Each step skips the bytes that both
  // bounds already share with the pattern, so a long match is compared about
  // once, not once per step. The longest match is one of the two neighbours
  // of the place where the pattern would sort.
  template <typename Entry>
  SourceMatch Search(const Entry* ranks, std::uint64_t low, std::uint64_t high, std::uint64_t known,
                     ByteSpan pattern) const {
    const std::uint64_t low_end = low;
    const std::uint64_t high_end = high;
    std::uint64_t low_common = known;
    std::uint64_t high_common = known;
    while (low < high) {
      const std::uint64_t middle = low + (high - low) / 2;
      const std::uint64_t at = static_cast<std::uint64_t>(ranks[middle]);
      const std::uint64_t limit = std::min<std::uint64_t>(pattern.size(), source_.size() - at);
      std::uint64_t common = std::min(low_common, high_common);
      common += CommonPrefix(pattern.data() + common, source_.data() + at + common, limit - common);
      const bool suffix_first =
          common < pattern.size() && (common == limit || source_[at + common] < pattern[common]);
      if (suffix_first) {
        low = middle + 1;
        low_common = common;
      } else {
        high = middle;
        high_common = common;
      }
    }
    SourceMatch best;
    auto consider = [&](std::uint64_t rank, std::uint64_t common) {
      const auto at = static_cast<std::uint32_t>(ranks[rank]);
      if (common > best.length || (common == best.length && at < best.source))
        best = {at, static_cast<std::uint32_t>(common)};
    };
    if (low > low_end) consider(low - 1, low_common);
    if (low < high_end) consider(low, high_common);
    if (best.length < kShortestMatch) return {};
    return best;
  }

  ByteSpan source_;
  std::unique_ptr<Rank[]> suffixes_;
  std::vector<std::uint64_t> bucket_starts_;
  std::vector<std::uint16_t> near_suffixes_;
  GramFilter filter_;
};

}  // namespace

std::uint64_t SuffixIndexMemory(std::uint64_t source_size) {
  const std::uint64_t rank_size = source_size > kLargestFor32BitRanks ? 8 : 4;
  return rank_size * source_size + GramFilter::MemoryFor(source_size) + 8 * (kBuckets + 1) +
         2 * std::min(source_size, kNearSourceEnd);
}

std::unique_ptr<SourceIndex> MakeSuffixIndex(ByteSpan source, unsigned threads, const IndexProgress& progress) {
  if (source.size() > kLargestFor32BitRanks) return std::make_unique<SuffixIndex<std::int64_t>>(source, threads, progress);
  return std::make_unique<SuffixIndex<std::int32_t>>(source, threads, progress);
}

}  // namespace varnock::maker
