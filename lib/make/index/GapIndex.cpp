#include "make/index/GapIndex.h"

#include <divsufsort.h>

#include <algorithm>
#include <bit>
#include <vector>

#include "common/Errors.h"
#include "make/index/CommonPrefix.h"
#include "make/index/SuffixSearch.h"

namespace varnock::maker {
namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFF;

// A source place found for a stretch byte and how many bytes agree there.
struct Near {
  std::uint32_t source = kNone;
  std::uint32_t length = 0;
};
// The same with the 8 source bytes before the place, the nearest in the high
// byte, read as the pass went by: a match followed backwards from the place
// reads them here, not in the source (SourceMatch::before).
struct Found {
  std::uint32_t source = kNone;
  std::uint32_t length = 0;
  std::uint64_t before = 0;
};

// The place a byte further on, on the same diagonal: `byte` is the one the
// place matched, the source's byte at it.
Near Next(const Near& place, std::uint8_t) { return {place.source + 1, place.length - 1}; }
Found Next(const Found& place, std::uint8_t byte) {
  return {place.source + 1, place.length - 1, place.before >> 8 | std::uint64_t{byte} << 56};
}
// `place` as far as `length` of it.
template <typename Place>
Place Cut(Place place, std::uint32_t length) {
  place.length = length;
  return place;
}

// The longer place, the one nearer the source's start of two as long: an
// order that does not depend on which was met first.
template <typename Place>
void Keep(Place& kept, const Place& met) {
  if (met.length > kept.length || (met.length == kept.length && met.source < kept.source)) kept = met;
}

// A place that serves the byte before also serves this one, a byte shorter:
// the source positions a pass skips while a match is carried would have
// found them.
template <typename Place, typename Allowed>
void SpreadForward(std::vector<Place>& places, ByteSpan bytes, const Allowed& allowed) {
  for (std::uint64_t at = 0; at + 1 < places.size(); ++at) {
    const Place& here = places[at];
    if (here.length <= kShortestMatch || !allowed(at, here.source)) continue;
    Keep(places[at + 1], Next(here, bytes[at]));
  }
}

// Puts `values[i]` at `values[to[i]]` for every i, in place (`to` a
// permutation), or the other way round with `gather`; `done` is scratch of a
// bit an element.
template <typename Place>
void Permute(std::vector<Place>& values, const std::vector<std::int32_t>& to, bool gather,
             std::vector<std::uint64_t>& done) {
  done.assign((values.size() + 63) / 64, 0);
  auto seen = [&](std::uint64_t i) { return done[i / 64] >> (i % 64) & 1; };
  auto mark = [&](std::uint64_t i) { done[i / 64] |= std::uint64_t{1} << (i % 64); };
  for (std::uint64_t start = 0; start < values.size(); ++start) {
    if (seen(start)) continue;
    if (gather) {
      // values[i] = old values[to[i]] along the cycle from start.
      const Place first = values[start];
      std::uint64_t i = start;
      for (;;) {
        mark(i);
        const auto next = static_cast<std::uint64_t>(to[i]);
        if (next == start) {
          values[i] = first;
          break;
        }
        values[i] = values[next];
        i = next;
      }
    } else {
      // old values[i] goes to values[to[i]].
      Place carried = values[start];
      std::uint64_t i = start;
      for (;;) {
        mark(i);
        const auto next = static_cast<std::uint64_t>(to[i]);
        std::swap(carried, values[next]);
        if (next == start) break;
        i = next;
      }
    }
  }
}

// The suffixes that start with each 8-byte string of the stretches, by
// string: a slot holds the range of their ranks and some bits of the
// string's hash, and the string itself is read back from the stretches once
// those agree. A filter of a bit per string, small enough to stay in cache,
// turns away most source strings first.
class GramRanks {
 public:
  struct Range {
    std::uint64_t low = 0;
    std::uint64_t high = 0;  // low == high: none
  };

  GramRanks(ByteSpan bytes, const std::vector<std::int32_t>& ranks)
      : bytes_(bytes), ranks_(ranks), rank_bits_(std::bit_width(ranks.size())) {
    const std::uint64_t size = ranks.size();
    auto whole = [&](std::uint64_t rank) {
      return static_cast<std::uint64_t>(ranks[rank]) + kShortestMatch <= size;
    };
    auto gram = [&](std::uint64_t rank) { return LoadWord(bytes.data() + ranks[rank]); };
    std::uint64_t strings = 0;
    for (std::uint64_t rank = 0; rank < size; ++rank) {
      if (whole(rank) && (rank == 0 || !whole(rank - 1) || gram(rank - 1) != gram(rank))) ++strings;
    }
    slots_.assign(std::bit_ceil(std::max<std::uint64_t>(16, strings + strings / 2)), 0);
    slot_shift_ = 64 - std::countr_zero(slots_.size());
    // 64 to 128 bits a string (one in a hundred strings not held passes),
    // but no more than fits in a core's cache beside the rest (512 KiB, 26
    // bits a string on a tree of 16 MiB of pages): a source of 128 MiB
    // whose covers leave a few KiB is passed at little more than the cost
    // of the filter.
    filter_.assign(std::clamp<std::uint64_t>(std::bit_ceil(strings), 64, kFilterWords), 0);
    filter_shift_ = 64 - std::countr_zero(filter_.size() * 64);
    for (std::uint64_t low = 0; low < size;) {
      if (!whole(low)) {
        ++low;
        continue;
      }
      const std::uint64_t string = gram(low);
      std::uint64_t high = low + 1;
      while (high < size && whole(high) && gram(high) == string) ++high;
      Add(string, low, high);
      low = high;
    }
  }

  static std::uint64_t Hash(std::uint64_t string) { return string * 0x9E3779B97F4A7C15ull; }

  // False for most strings the stretches do not hold, never for one they do.
  bool MayHold(std::uint64_t hash) const {
    const std::uint64_t bit = hash >> filter_shift_;
    return filter_[bit / 64] >> (bit % 64) & 1;
  }

  // The first position from `at` on and before `end` whose string may be
  // held, or `end`.
  std::uint64_t NextMayHold(const std::uint8_t* bytes, std::uint64_t at, std::uint64_t end) const {
    while (at < end && !MayHold(Hash(LoadWord(bytes + at)))) ++at;
    return at;
  }

  Range Find(std::uint64_t string, std::uint64_t hash) const {
    const std::uint64_t tag = Tag(string);
    const std::uint64_t mask = (std::uint64_t{1} << rank_bits_) - 1;
    for (std::uint64_t slot = SlotOf(hash);; slot = (slot + 1) & (slots_.size() - 1)) {
      const std::uint64_t entry = slots_[slot];
      if (entry == 0) return {};
      if (entry >> 2 * rank_bits_ != tag) continue;
      const Range range{entry & mask, entry >> rank_bits_ & mask};
      if (LoadWord(bytes_.data() + ranks_[range.low]) == string) return range;
    }
  }

 private:
  // A slot: the range's low and high ends, rank_bits_ each (high is never
  // 0, so an empty slot is 0), and the rest of the word for the tag.
  void Add(std::uint64_t string, std::uint64_t low, std::uint64_t high) {
    const std::uint64_t bit = Hash(string) >> filter_shift_;
    filter_[bit / 64] |= std::uint64_t{1} << (bit % 64);
    std::uint64_t slot = SlotOf(Hash(string));
    while (slots_[slot] != 0) slot = (slot + 1) & (slots_.size() - 1);
    slots_[slot] = Tag(string) << 2 * rank_bits_ | high << rank_bits_ | low;
  }
  // Bits of a second hash, which tell most strings of a slot's run apart.
  std::uint64_t Tag(std::uint64_t string) const {
    return 2 * rank_bits_ >= 64 ? 0 : (string * 0xC2B2AE3D27D4EB4Full) >> (2 * rank_bits_);
  }
  // A product's high bits depend on all of the string's.
  std::uint64_t SlotOf(std::uint64_t hash) const { return hash >> slot_shift_; }
  static constexpr std::uint64_t kFilterWords = std::uint64_t{1} << 16;

  ByteSpan bytes_;
  const std::vector<std::int32_t>& ranks_;
  unsigned rank_bits_;
  std::vector<std::uint64_t> slots_;
  std::vector<std::uint64_t> filter_;
  unsigned slot_shift_ = 0;
  unsigned filter_shift_ = 0;
};

class GapIndex final : public SourceIndex {
 public:
  GapIndex(ByteSpan source, ByteSpan target, std::span<const Stretch> stretches, const ViewPages& pages)
      : source_(source), target_(target) {
    std::vector<std::uint8_t> bytes;  // the stretches' bytes, one after another
    {
      PassedPages passed(pages, target);
      for (const Stretch& stretch : stretches) {
        starts_.push_back({stretch.from, bytes.size()});
        bytes.insert(bytes.end(), target.begin() + static_cast<std::ptrdiff_t>(stretch.from),
                     target.begin() + static_cast<std::ptrdiff_t>(stretch.to));
        ends_.push_back(bytes.size());
        passed.Reached(stretch.to);
      }
    }
    if (bytes.size() < kShortestMatch) {
      found_.assign(bytes.size(), {});
      return;
    }
    Search(bytes, pages);
  }

  // The places and their lengths are those the pass found, and the source is
  // not read: the matches are told from the index alone, and their pages
  // are not brought back. A length cut where a stretch ends, or passed on
  // from a suffix that shares as many bytes as its match had, may be
  // shorter than the bytes agree (+0.02% on pgdoc-tree's raw patch).
  SourceMatch Longest(ByteSpan pattern) const override {
    const std::uint64_t at = Packed(pattern);
    if (at == kNone || found_[at].source == kNone) return {};
    const Found& found = found_[at];
    return {found.source, found.length, found.before, std::min<std::uint32_t>(8, found.source)};
  }
  SourceMatch LongestNear(ByteSpan pattern) const override {
    const std::uint64_t at = Packed(pattern);
    if (at == kNone) return {};
    const auto near =
        std::lower_bound(near_.begin(), near_.end(), at,
                         [](const auto& entry, std::uint64_t position) { return entry.first < position; });
    if (near == near_.end() || near->first != at) return {};
    return {near->second.source, near->second.length};
  }

  bool MayMatch(ByteSpan pattern) const override {
    const std::uint64_t at = Packed(pattern);
    return at != kNone && found_[at].source != kNone;
  }
  bool SearchesTheSource() const override { return false; }
  std::uint64_t MemoryUse() const override {
    return found_.size() * sizeof(Found) + near_.size() * sizeof(near_[0]) +
           (starts_.size() + ends_.size()) * 16;
  }

 private:
  struct Start {
    std::uint64_t target;
    std::uint64_t packed;
  };

  // Where the pattern's first byte lies among the stretches' bytes, or kNone.
  std::uint64_t Packed(ByteSpan pattern) const {
    const auto at = static_cast<std::uint64_t>(pattern.data() - target_.data());
    auto start = std::upper_bound(starts_.begin(), starts_.end(), at,
                                  [](std::uint64_t position, const Start& s) { return position < s.target; });
    if (start == starts_.begin()) return kNone;
    --start;
    const std::uint64_t packed = start->packed + (at - start->target);
    return packed < ends_[static_cast<std::size_t>(start - starts_.begin())] ? packed : kNone;
  }

  // The stretches' suffixes sorted and the source passed over them once:
  // each source place met is kept for the suffix it matches longest, and
  // then handed to the bytes after it and to the suffixes that share its
  // bytes.
  void Search(const std::vector<std::uint8_t>& bytes, const ViewPages& pages) {
    const std::uint64_t size = bytes.size();
    std::vector<std::int32_t> ranks(size);
    if (divsufsort(bytes.data(), ranks.data(), static_cast<std::int32_t>(size)) != 0) throw EOutOfMemory();
    // For each stretch byte, the longest place met whose match starts there,
    // and the places met in the first 64 KiB of the source.
    found_.assign(size, {});
    std::vector<std::pair<std::uint32_t, Near>> near_met;
    {
      const GramRanks grams(bytes, ranks);
      const ByteSpan packed(bytes);
      const std::uint8_t* const s = source_.data();
      const std::uint64_t end = source_.size() >= kShortestMatch ? source_.size() - kShortestMatch + 1 : 0;
      PassedPages passed(pages, source_);
      for (std::uint64_t at = 0; at < end; passed.Reached(at)) {
        const std::uint64_t step_end = std::min(end, at - at % kReleaseStep + kReleaseStep);
        while (at < step_end) {
          // Most places hold no string of the stretches: they cost a look
          // at the filter each.
          at = grams.NextMayHold(s, at, step_end);
          if (at == step_end) break;
          const GramRanks::Range range = grams.Find(LoadWord(s + at), GramRanks::Hash(LoadWord(s + at)));
          if (range.low == range.high) {
            ++at;
            continue;
          }
          SuffixSearch<std::int32_t> search(ranks.data(), range.low, range.high, kShortestMatch,
                                            source_.subspan(at));
          while (!search.Done()) search.Step(packed);
          const auto [rank, length] = search.Best();
          const auto first = static_cast<std::uint32_t>(ranks[rank]);
          const auto place = static_cast<std::uint32_t>(at);
          std::uint64_t before = 0;
          for (std::uint64_t back = 1; back <= std::min<std::uint64_t>(8, at); ++back)
            before |= std::uint64_t{s[at - back]} << (64 - 8 * back);
          Keep(found_[first], {place, static_cast<std::uint32_t>(length), before});
          if (at < kNearSourceEnd) near_met.push_back({first, {place, static_cast<std::uint32_t>(length)}});
          // The places the match covers serve the bytes after its first
          // (SpreadForward) and are not looked at.
          at += std::max<std::uint64_t>(1, length + 1 - kShortestMatch);
        }
      }
    }
    // The suffixes' common prefixes with the one ranked before them.
    std::vector<std::uint32_t> common(size, 0);
    {
      std::vector<std::uint32_t> rank_of(size);
      for (std::uint64_t rank = 0; rank < size; ++rank)
        rank_of[static_cast<std::uint64_t>(ranks[rank])] = static_cast<std::uint32_t>(rank);
      std::uint64_t shared = 0;
      for (std::uint64_t at = 0; at < size; ++at) {
        const std::uint32_t rank = rank_of[at];
        if (rank == 0) {
          shared = 0;
          continue;
        }
        const auto before = static_cast<std::uint64_t>(ranks[rank - 1]);
        while (at + shared < size && before + shared < size && bytes[at + shared] == bytes[before + shared])
          ++shared;
        common[rank] = static_cast<std::uint32_t>(shared);
        if (shared > 0) --shared;
      }
    }
    std::vector<std::uint64_t> scratch;
    Spread(
        bytes, ranks, common, [](std::uint64_t, std::uint32_t) { return true; }, found_, scratch);
    if (near_met.empty()) return;
    // Places near the source's start are few: held apart, by stretch byte.
    std::vector<Near> near(size);
    for (const auto& [first, place] : near_met) Keep(near[first], place);
    Spread(
        bytes, ranks, common, [](std::uint64_t, std::uint32_t source) { return source + 1 < kNearSourceEnd; },
        near, scratch);
    for (std::uint64_t at = 0; at < size; ++at) {
      if (near[at].source != kNone) near_.push_back({static_cast<std::uint32_t>(at), near[at]});
    }
  }

  // `places`, by stretch byte, the places met there: handed to the bytes
  // after each, one shorter (where `allowed`), then to the suffixes around
  // each in rank order as far as their common prefixes go, then cut at the
  // ends of the stretches and handed on along them again.
  template <typename Place, typename Allowed>
  void Spread(ByteSpan bytes, const std::vector<std::int32_t>& ranks,
              const std::vector<std::uint32_t>& common, const Allowed& allowed, std::vector<Place>& places,
              std::vector<std::uint64_t>& scratch) {
    const std::uint64_t size = places.size();
    SpreadForward(places, bytes, allowed);
    Permute(places, ranks, true, scratch);
    auto pass = [&](Place& to, const Place& from, std::uint32_t shared) {
      const std::uint32_t length = std::min(from.length, shared);
      if (length >= kShortestMatch) Keep(to, Cut(from, length));
    };
    for (std::uint64_t rank = 1; rank < size; ++rank) pass(places[rank], places[rank - 1], common[rank]);
    for (std::uint64_t rank = size - 1; rank-- > 0;) pass(places[rank], places[rank + 1], common[rank + 1]);
    Permute(places, ranks, false, scratch);
    // Cut where each stretch ends: a suffix's bytes run on into the next.
    std::uint64_t stretch = 0;
    for (std::uint64_t at = 0; at < size; ++at) {
      while (ends_[stretch] <= at) ++stretch;
      Place& place = places[at];
      place.length = static_cast<std::uint32_t>(std::min<std::uint64_t>(place.length, ends_[stretch] - at));
      if (place.length < kShortestMatch) place = {};
    }
    stretch = 0;
    SpreadForward(places, bytes, [&](std::uint64_t at, std::uint32_t source) {
      while (ends_[stretch] <= at) ++stretch;
      return at + 1 < ends_[stretch] && allowed(at, source);
    });
  }

  ByteSpan source_;
  ByteSpan target_;
  std::vector<Start> starts_;
  std::vector<std::uint64_t> ends_;  // where each stretch ends among their bytes
  std::vector<Found> found_;         // for each of them
  // Those with a place in the first 64 KiB of the source, by stretch byte.
  std::vector<std::pair<std::uint32_t, Near>> near_;
};

}  // namespace

std::unique_ptr<SourceIndex> MakeGapIndex(ByteSpan source, ByteSpan target,
                                          std::span<const Stretch> stretches, const ViewPages& pages) {
  return std::make_unique<GapIndex>(source, target, stretches, pages);
}

}  // namespace varnock::maker
