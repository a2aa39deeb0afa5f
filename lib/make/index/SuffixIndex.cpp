#include <divsufsort.h>
#include <divsufsort64.h>

#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <vector>

#include "common/Errors.h"
#include "make/HelperThreads.h"
#include "make/index/CommonPrefix.h"
#include "make/index/SourceIndex.h"
#include "make/index/SuffixSearch.h"

namespace varnock::maker {
namespace {

// Suffixes are bucketed by the first 16 to 24 bits of their first three
// bytes: each bit spares the binary search a step, a cache miss in a large
// source, and costs the table, 4 bytes a bucket, twice as much. The table is
// kept to a sixteenth of the source (4 MiB at 64 MiB, 64 MiB from 1 GiB):
// on a 66 MiB source, 24 bits (a byte a source byte) were not measurably
// faster than 20.
constexpr unsigned kKeyBytes = 3;
unsigned KeyBits(std::uint64_t source_size) {
  unsigned bits = 16;
  while (bits < 8 * kKeyBytes && (std::uint64_t{64} << (bits + 1)) <= source_size) ++bits;
  return bits;
}
std::uint64_t BucketCount(std::uint64_t source_size) { return std::uint64_t{1} << KeyBits(source_size); }
constexpr std::uint64_t kProgressStep = std::uint64_t{1} << 24;
// divsufsort's 32-bit ranks hold sources below 2 GiB.
constexpr std::uint64_t kLargestFor32BitRanks = 0x7FFFFFFF;

// Which 8-byte strings the source holds, with false positives: three bits
// per source position, two bits per string in one 64-bit word, so a test
// costs one cache miss and about one in four absent strings passes. Eight
// bits a position let one in twenty pass, but took the peak of memory past
// the peers' on a 66 MiB source for a few percent of time; two bits cost a
// fifth more time on a 52 MiB one.
class GramFilter {
 public:
  explicit GramFilter(std::uint64_t source_size) : words_(WordsFor(source_size)) {}

  static std::uint64_t MemoryFor(std::uint64_t source_size) { return 8 * WordsFor(source_size); }

  // Adds the strings at [first, last). Each lands in a random word of a table
  // as large as the source, so the words are requested a few strings ahead
  // and the misses overlap.
  void Add(const std::uint8_t* first, const std::uint8_t* last) {
    constexpr std::size_t kAhead = 16;
    std::array<Slot, kAhead> pending;
    std::size_t count = 0;
    for (const std::uint8_t* at = first; at < last; ++at, ++count) {
      Slot& slot = pending[count % kAhead];
      if (count >= kAhead) words_[slot.word] |= slot.bits;
      slot = SlotOf(at);
      __builtin_prefetch(&words_[slot.word], 1);
    }
    for (std::size_t i = count > kAhead ? count - kAhead : 0; i < count; ++i) {
      const Slot& slot = pending[i % kAhead];
      words_[slot.word] |= slot.bits;
    }
  }
  bool MayContain(const std::uint8_t* at) const {
    const Slot slot = SlotOf(at);
    return (words_[slot.word] & slot.bits) == slot.bits;
  }
  void Prefetch(const std::uint8_t* at) const { __builtin_prefetch(&words_[SlotOf(at).word]); }

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

  static constexpr std::uint64_t kBitsPerPosition = 3;
  static std::uint64_t WordsFor(std::uint64_t source_size) {
    return std::max<std::uint64_t>(1, (kBitsPerPosition * source_size + 63) / 64);
  }

  std::vector<std::uint64_t> words_;
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
  SuffixIndex(ByteSpan source, unsigned threads, const StageProgress& progress)
      : source_(source), key_bits_(KeyBits(source.size())), filter_(source.size()) {
    const std::uint64_t size = source.size();
    suffixes_ = std::make_unique_for_overwrite<Rank[]>(size);
    // The sort runs on a thread of its own while this one fills the filter,
    // or first, when there is one thread or the OS will not start another;
    // what it raises is raised once the filter is full.
    std::exception_ptr sort_error;
    const auto sort = [&] {
      try {
        SortSuffixes(source_, suffixes_.get());
      } catch (...) {
        sort_error = std::current_exception();
      }
    };
    HelperThreads sorting;
    if (threads <= 1 || sorting.Start(1, sort) == 0) sort();
    const std::uint64_t strings = size >= kShortestMatch ? size - kShortestMatch + 1 : 0;
    for (std::uint64_t at = 0; at < strings; at += kProgressStep) {
      if (progress) progress(at, 2 * size);
      filter_.Add(source.data() + at, source.data() + std::min(strings, at + kProgressStep));
    }
    if (progress) progress(size, 2 * size);
    sorting.Join();
    if (sort_error) std::rethrow_exception(sort_error);
    FindBuckets();
    for (std::uint64_t rank = 0; rank < size; ++rank) {
      if (static_cast<std::uint64_t>(suffixes_[rank]) < kNearSourceEnd)
        near_suffixes_.push_back(static_cast<std::uint16_t>(suffixes_[rank]));
    }
    if (progress) progress(2 * size, 2 * size);
  }

  SourceMatch Longest(ByteSpan pattern) const override {
    if (pattern.size() < kShortestMatch) return {};
    const auto [low, high] = Bucket(Key(pattern.data(), kKeyBytes));
    SuffixSearch<Rank> search(suffixes_.get(), low, high, key_bits_ / 8, pattern);
    while (!search.Done()) search.Step(source_);
    return search.Result();
  }

  SourceMatch LongestNear(ByteSpan pattern) const override {
    // In a small source every match is near already.
    if (source_.size() <= kNearSourceEnd || pattern.size() < kShortestMatch) return {};
    SuffixSearch<std::uint16_t> search(near_suffixes_.data(), 0, near_suffixes_.size(), 0, pattern);
    while (!search.Done()) search.Step(source_);
    return search.Result();
  }

  bool MayMatch(ByteSpan pattern) const override {
    return pattern.size() >= kShortestMatch && filter_.MayContain(pattern.data());
  }

  void Prefetch(ByteSpan pattern) const override {
    if (pattern.size() >= kShortestMatch) filter_.Prefetch(pattern.data());
  }

  std::uint64_t MemoryUse() const override { return SuffixIndexMemory(source_.size()); }

 private:
  // The bucket of the first `length` bytes at `at` (at most kKeyBytes),
  // missing bytes taken as zeros.
  std::uint64_t Key(const std::uint8_t* at, std::uint64_t length) const {
    std::uint64_t key = 0;
    for (unsigned i = 0; i < kKeyBytes; ++i) key = key * 256 + (i < length ? at[i] : 0);
    return key >> (8 * kKeyBytes - key_bits_);
  }

  // The first rank of each bucket. A suffix shorter than a key sorts before
  // every suffix that starts with its bytes followed by anything, so just
  // before the bucket of its bytes followed by zeros; it belongs to no bucket.
  void FindBuckets() {
    const std::uint64_t size = source_.size();
    const std::uint64_t buckets = BucketCount(size);
    bucket_starts_.assign(buckets + 1, 0);
    for (std::uint64_t at = 0; at + kKeyBytes <= size; ++at)
      ++bucket_starts_[Key(source_.data() + at, kKeyBytes) + 1];
    for (std::uint64_t key = 1; key <= buckets; ++key) bucket_starts_[key] += bucket_starts_[key - 1];
    for (std::uint64_t at = size > kKeyBytes ? size - kKeyBytes + 1 : 0; at < size; ++at) {
      short_keys_.push_back(Key(source_.data() + at, size - at));
      for (std::uint64_t key = short_keys_.back(); key <= buckets; ++key) ++bucket_starts_[key];
    }
  }

  // The ranks of the suffixes at least a key long that start with `key`.
  std::pair<std::uint64_t, std::uint64_t> Bucket(std::uint64_t key) const {
    const auto short_after =
        static_cast<std::uint64_t>(std::count(short_keys_.begin(), short_keys_.end(), key + 1));
    return {bucket_starts_[key], bucket_starts_[key + 1] - short_after};
  }

  ByteSpan source_;
  const unsigned key_bits_;
  std::unique_ptr<Rank[]> suffixes_;
  std::vector<std::uint32_t> bucket_starts_;
  std::vector<std::uint64_t> short_keys_;
  std::vector<std::uint16_t> near_suffixes_;
  GramFilter filter_;
};

}  // namespace

std::uint64_t SuffixIndexMemory(std::uint64_t source_size) {
  const std::uint64_t rank_size = source_size > kLargestFor32BitRanks ? 8 : 4;
  return rank_size * source_size + GramFilter::MemoryFor(source_size) + 4 * (BucketCount(source_size) + 1) +
         2 * std::min(source_size, kNearSourceEnd);
}

std::unique_ptr<SourceIndex> MakeSuffixIndex(ByteSpan source, unsigned threads,
                                             const StageProgress& progress) {
  if (source.size() > kLargestFor32BitRanks)
    return std::make_unique<SuffixIndex<std::int64_t>>(source, threads, progress);
  return std::make_unique<SuffixIndex<std::int32_t>>(source, threads, progress);
}

}  // namespace varnock::maker
