#include "make/index/Matcher.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace varnock::maker {
namespace {

// How far a match found at one position is followed backwards: far enough
// for the parse to choose where to switch to it, short enough that repeated
// content costs little.
constexpr std::uint64_t kLongestBackExtension = 4096;
// How many positions ahead the index's filter is fetched.
constexpr std::uint64_t kPrefetchDistance = 16;
// The longest match at a position, and perhaps one nearer the diagonal.
constexpr std::uint64_t kCandidatesPerByte = 2;

// `match` found at target position `at`, moved back over the bytes before it
// that also agree, but not before `from`: over those the index knows first.
CopyCandidate ExtendBack(ByteSpan source, ByteSpan target, std::uint64_t from, std::uint64_t at,
                         SourceMatch match, TouchedPages* touched) {
  const std::uint64_t limit = std::min({at - from, std::uint64_t{match.source}, kLongestBackExtension});
  const std::uint64_t known = std::min<std::uint64_t>({limit, match.known, 8});
  std::uint64_t back = 0;
  while (back < known && target[at - back - 1] == static_cast<std::uint8_t>(match.before >> (56 - 8 * back)))
    ++back;
  if (back == known && back < limit) {
    while (back < limit && target[at - back - 1] == source[match.source - back - 1]) ++back;
    if (touched) touched->Read(source.subspan(match.source - back, back));
  }
  return {static_cast<std::uint32_t>(at - back), static_cast<std::uint32_t>(match.source - back),
          static_cast<std::uint32_t>(match.length + back)};
}

}  // namespace

void FindCandidates(const SourceIndex& index, ByteSpan source, ByteSpan target, std::uint64_t from,
                    std::uint64_t to, const MatchSettings& settings, std::vector<CopyCandidate>& candidates,
                    TouchedPages* touched) {
  candidates.clear();
  candidates.reserve(kCandidatesPerByte * (to - from));
  // Bytes left of the match found at an earlier position, at this one.
  std::uint64_t carried_left = 0;
  std::optional<std::int64_t> anchor = settings.anchor;  // the diagonal of the last long candidate
  auto worth_keeping = [&](SourceMatch match, std::uint64_t at) {
    if (match.length < settings.shortest) return false;
    const std::int64_t diagonal = std::int64_t{match.source} - static_cast<std::int64_t>(at);
    if (match.length >= settings.shortest_unanchored) {
      anchor = diagonal;
      return true;
    }
    return anchor && static_cast<std::uint64_t>(std::abs(diagonal - *anchor)) <= settings.anchor_distance;
  };
  // What the index read of the source to tell a match's length.
  auto read = [&](const SourceMatch& match) {
    if (touched && match.read > 0)
      touched->Read(source.subspan(std::uint64_t{match.source} + match.length - match.read, match.read));
  };
  for (std::uint64_t at = from; at < to; ++at) {
    // Positions are tested in a row where nothing is carried: fetch ahead.
    if (carried_left < settings.refresh + kPrefetchDistance && at + kPrefetchDistance < to)
      index.Prefetch(target.subspan(at + kPrefetchDistance));
    if (carried_left < settings.refresh) {
      const ByteSpan pattern = target.subspan(at);
      const SourceMatch longest = index.MayMatch(pattern) ? index.Longest(pattern) : SourceMatch{};
      read(longest);
      if (longest.length > carried_left && worth_keeping(longest, at)) {
        candidates.push_back(ExtendBack(source, target, from, at, longest, touched));
        carried_left = longest.length;
        const SourceMatch near = longest.source < kNearSourceEnd ? SourceMatch{} : index.LongestNear(pattern);
        read(near);
        if (worth_keeping(near, at))
          candidates.push_back(ExtendBack(source, target, from, at, near, touched));
      }
    }
    if (carried_left > 0) --carried_left;
  }
  std::sort(candidates.begin(), candidates.end(), [](const CopyCandidate& a, const CopyCandidate& b) {
    return a.target != b.target ? a.target < b.target : a.source < b.source;
  });
}

}  // namespace varnock::maker
