// Finds the copies worth weighing for a stretch of the target.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "make/ViewPages.h"
#include "make/index/SourceIndex.h"

namespace varnock::maker {

// Target bytes [target, target + length) equal source bytes [source, ...).
struct CopyCandidate {
  std::uint32_t target;
  std::uint32_t source;
  std::uint32_t length;
  bool operator==(const CopyCandidate&) const = default;
};

struct MatchSettings {
  // Candidates shorter than this are not kept.
  std::uint32_t shortest = kShortestMatch;
  // Nor those shorter than this whose diagonal (source minus target
  // position) lies more than `anchor_distance` from that of the last
  // candidate at least this long: for a compressor, a short copy is worth
  // its offset where the file was edited in place, not where it merely
  // happens to repeat a few bytes of unrelated content.
  std::uint32_t shortest_unanchored = kShortestMatch;
  std::uint64_t anchor_distance = 0;
  // The diagonal of a long match that ends where the stretch starts, found
  // by other means (a cover): the first anchor.
  std::optional<std::int64_t> anchor;
  // While the match that the previous position continues has at least this
  // many bytes left, the index is not asked again: a longer one would almost
  // always show at a later position, and be extended back from there.
  std::uint32_t refresh = 8;
};

// Puts in `candidates`, in place of what it held, the candidates that start
// in target [from, to), in the order of their first target byte; they may
// run past `to`. They depend on nothing but the inputs and [from, to), so
// stretches can be matched on any thread. There are at most two a target
// byte, and the vector is given room for them all at once: the buffer it
// already has is reused, and no other is taken while it fills. What it
// reads of the source beyond what the index hands it is told to `touched`.
void FindCandidates(const SourceIndex& index, ByteSpan source, ByteSpan target, std::uint64_t from,
                    std::uint64_t to, const MatchSettings& settings, std::vector<CopyCandidate>& candidates,
                    TouchedPages* touched = nullptr);

}  // namespace varnock::maker
