// Which index the maker builds for a pair, and what it holds.
#pragma once

#include <cstdint>

namespace varnock {

inline constexpr unsigned kLowestMakerLevel = 1;
inline constexpr unsigned kDefaultMakerLevel = 9;

// The part of the maker's memory bound (MakerOptions::memory_limit) that does
// not depend on the source: the parse, the candidates in flight and the buffers.
std::uint64_t MakerWorkingMemory(std::uint64_t target_size);

}  // namespace varnock

namespace varnock::maker {

enum class IndexKind { kSuffix, kSampled };

struct IndexPlan {
  IndexKind kind = IndexKind::kSuffix;
  // The sampled index's size: what it may take, rounded down to a power of two.
  std::uint64_t sampled_budget = 0;
  // Bytes the run holds besides the inputs: the index and MakerWorkingMemory.
  std::uint64_t memory = 0;
  bool operator==(const IndexPlan&) const = default;
};

// From this source size on, the default is the sampled index: the suffix
// array would take 5 to 9 bytes a source byte (5 to 36 GiB), and its sort
// alone outlasts the whole run of the sampled index many times over.
inline constexpr std::uint64_t kSampledByDefaultFrom = std::uint64_t{1} << 30;

// The default, from the inputs' sizes alone, so that a pair gives the same
// patch on every machine: the suffix index below kSampledByDefaultFrom, above
// it a sampled index of at most 2 bytes a source byte.
IndexPlan DefaultPlan(std::uint64_t source_size, std::uint64_t target_size);

// Levels trade the patch's size for time and memory, as a compressor's do.
// The highest is the default; each one below takes a sampled index of half
// the budget of the one above (2 S bytes at level 8, S / 64 at level 1), which
// finds only the longer matches but is made and searched faster.
// The plan of a level (MakerOptions::level) from the inputs' sizes alone;
// DefaultPlan at kDefaultMakerLevel.
IndexPlan PlanOfLevel(unsigned level, std::uint64_t source_size, std::uint64_t target_size);

// The most thorough index that holds within `limit` bytes besides the inputs:
// the suffix index where it fits, else a sampled one of what the limit leaves
// (never less than its smallest table).
IndexPlan PlanWithin(std::uint64_t source_size, std::uint64_t target_size, std::uint64_t limit);

// The plan of the given kind, the sampled index at its default size.
IndexPlan PlanOfKind(IndexKind kind, std::uint64_t source_size, std::uint64_t target_size);

}  // namespace varnock::maker
