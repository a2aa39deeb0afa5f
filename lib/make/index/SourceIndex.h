// Where the source holds the bytes that start at a target position.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "common/Progress.h"
#include "format/PatchFormat.h"

namespace varnock::maker {

struct SourceMatch {
  std::uint32_t source = 0;
  std::uint32_t length = 0;  // 0: no match worth a copy
  // The `known` source bytes just before `source` where the index has them
  // at hand, the nearest in the high byte of `before`: the match followed
  // backwards reads them here rather than in the source, whose pages stay
  // where they are.
  std::uint64_t before = 0;
  std::uint32_t known = 0;
  // Bytes of the source the index read to tell the length, those that end
  // the match: the matcher counts them as read (TouchedPages).
  std::uint32_t read = 0;
};

// Shared by the matching threads once built; none of its calls changes it.
class SourceIndex {
 public:
  virtual ~SourceIndex() = default;
  // A match of the start of `pattern` in the source, as long as any there is
  // (the suffix index) or as long as its sample finds (the sampled index).
  virtual SourceMatch Longest(ByteSpan pattern) const = 0;
  // The longest match that starts in the first 64 KiB of the source, where a
  // copy's offset takes 2 bytes instead of 4; length 0 when the index does
  // not look there separately.
  virtual SourceMatch LongestNear(ByteSpan pattern) const = 0;
  // False only when no match of kShortestMatch bytes starts `pattern`; cheap,
  // so that positions without one cost little.
  virtual bool MayMatch(ByteSpan pattern) const = 0;
  // A hint that MayMatch(pattern) comes soon: starts fetching what it reads.
  virtual void Prefetch(ByteSpan /*pattern*/) const {}
  // Bytes the index holds.
  virtual std::uint64_t MemoryUse() const = 0;
  // Whether its searches read the source all over (a suffix array of it),
  // rather than bytes of its own: the source's pages are then worth holding.
  virtual bool SearchesTheSource() const { return true; }
};

// Matches shorter than this are not looked for: a copy of fewer bytes rarely
// takes fewer bytes than the literal it replaces.
inline constexpr std::uint32_t kShortestMatch = 8;
// A copy from below this source position takes a 2-byte offset.
inline constexpr std::uint64_t kNearSourceEnd = 0x10000;

// The suffix array of the whole source, with a filter of its 8-byte strings.
// Builds on `threads` threads (1 or 2 help); `progress` is called on the
// calling thread. Bytes it takes: SuffixIndexMemory(source.size()).
std::unique_ptr<SourceIndex> MakeSuffixIndex(ByteSpan source, unsigned threads,
                                             const StageProgress& progress);
std::uint64_t SuffixIndexMemory(std::uint64_t source_size);

// A hash table of the source's strings at every step-th position, sized to
// `budget` bytes but never below kLeastSampledIndexMemory; finds every match
// at least kSampledGram + step - 1 long. Bytes it takes:
// SampledIndexMemory(source.size(), budget), a power of two. Built on
// `threads` threads; the table does not depend on how many.
std::unique_ptr<SourceIndex> MakeSampledIndex(ByteSpan source, std::uint64_t budget, unsigned threads,
                                              const StageProgress& progress);
std::uint64_t SampledIndexMemory(std::uint64_t source_size, std::uint64_t budget);
inline constexpr std::uint32_t kSampledGram = 16;
inline constexpr std::uint64_t kLeastSampledIndexMemory = std::uint64_t{64} << 10;

}  // namespace varnock::maker
