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

// The source place found for a stretch byte and how many bytes agree there
// within the stretch.
struct Found {
  std::uint32_t source = kNone;
  std::uint32_t length = 0;
};

// The ranks of the suffixes that start with each 8-byte string, open
// addressing; a slot's key is the string plus one, 0 when empty, and the one
// string that would read as 0 is kept aside.
class GramRanks {
 public:
  struct Range {
    std::uint32_t low = 0;
    std::uint32_t high = 0;  // low == high: none
  };
  explicit GramRanks(std::uint64_t count)
      : keys_(std::bit_ceil(std::max<std::uint64_t>(16, 2 * count)), 0),
        ranges_(keys_.size()),
        mask_(keys_.size() - 1),
        filter_(keys_.size() / 16, 0) {}
  void Add(std::uint64_t gram, Range range) {
    if (gram + 1 == 0) {
      last_ = range;
      return;
    }
    const std::uint64_t mixed = Mix(gram);
    filter_[(mixed >> 32) & (filter_.size() - 1)] |= std::uint64_t{1} << (mixed >> 58);
    std::uint64_t slot = mixed & mask_;
    while (keys_[slot] != 0) slot = (slot + 1) & mask_;
    keys_[slot] = gram + 1;
    ranges_[slot] = range;
  }
  Range Find(std::uint64_t gram) const {
    if (gram + 1 == 0) return last_;
    const std::uint64_t mixed = Mix(gram);
    if (!(filter_[(mixed >> 32) & (filter_.size() - 1)] >> (mixed >> 58) & 1)) return {};
    for (std::uint64_t slot = mixed & mask_;; slot = (slot + 1) & mask_) {
      if (keys_[slot] == gram + 1) return ranges_[slot];
      if (keys_[slot] == 0) return {};
    }
  }

 private:
  std::vector<std::uint64_t> keys_;
  std::vector<Range> ranges_;
  std::uint64_t mask_;
  // Four bits a string, in a table small enough to stay in cache: most
  // source strings are not among the stretches' and are turned away here.
  std::vector<std::uint64_t> filter_;
  Range last_;
};

class GapIndex final : public SourceIndex {
 public:
  GapIndex(ByteSpan source, ByteSpan target, std::span<const Stretch> stretches, const ViewPages& pages)
      : source_(source), target_(target) {
    {
      PassedPages passed(pages, target);
      for (const Stretch& stretch : stretches) {
        starts_.push_back({stretch.from, bytes_.size()});
        bytes_.insert(bytes_.end(), target.begin() + static_cast<std::ptrdiff_t>(stretch.from),
                      target.begin() + static_cast<std::ptrdiff_t>(stretch.to));
        ends_.push_back(bytes_.size());
        passed.Reached(stretch.to);
      }
    }
    found_.assign(bytes_.size(), {});
    near_.assign(bytes_.size(), {});
    if (bytes_.size() < kShortestMatch) return;
    Search(pages);
  }

  SourceMatch Longest(ByteSpan pattern) const override { return At(pattern, found_); }
  SourceMatch LongestNear(ByteSpan pattern) const override { return At(pattern, near_); }

  bool MayMatch(ByteSpan pattern) const override {
    const std::uint64_t at = Packed(pattern);
    return at != kNone && found_[at].source != kNone;
  }
  std::uint64_t MemoryUse() const override {
    return bytes_.size() * (1 + 2 * sizeof(Found)) + (starts_.size() + ends_.size()) * 16;
  }

 private:
  SourceMatch At(ByteSpan pattern, const std::vector<Found>& places) const {
    const std::uint64_t at = Packed(pattern);
    if (at == kNone) return {};
    const Found found = places[at];
    if (found.source == kNone) return {};
    const std::uint64_t length =
        CommonPrefix(pattern.data(), source_.data() + found.source,
                     std::min<std::uint64_t>(pattern.size(), source_.size() - found.source));
    if (length < kShortestMatch) return {};
    return {found.source, static_cast<std::uint32_t>(length)};
  }
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

  // The stretches' suffixes sorted, the source passed over them, and each
  // place met handed to the suffixes that share its bytes.
  void Search(const ViewPages& pages) {
    const std::uint64_t size = bytes_.size();
    std::vector<std::int32_t> ranks(size);
    if (divsufsort(bytes_.data(), ranks.data(), static_cast<std::int32_t>(size)) != 0) throw EOutOfMemory();
    // Bytes each suffix may count: to the end of its stretch.
    auto room = [&](std::uint64_t packed) {
      const auto stretch = std::upper_bound(ends_.begin(), ends_.end(), packed);
      return *stretch - packed;
    };
    // Suffixes that share their first 8 bytes lie next to each other.
    GramRanks grams(size);
    {
      std::uint64_t low = 0;
      std::uint64_t gram = 0;
      bool open = false;
      for (std::uint64_t rank = 0; rank <= size; ++rank) {
        const bool whole = rank < size && static_cast<std::uint64_t>(ranks[rank]) + kShortestMatch <= size;
        const std::uint64_t here = whole ? LoadWord(bytes_.data() + ranks[rank]) : 0;
        if (open && (!whole || here != gram)) {
          grams.Add(gram, {static_cast<std::uint32_t>(low), static_cast<std::uint32_t>(rank)});
          open = false;
        }
        if (whole && !open) {
          low = rank;
          gram = here;
          open = true;
        }
      }
    }

    std::vector<std::uint32_t> rank_of(size);
    for (std::uint64_t rank = 0; rank < size; ++rank)
      rank_of[static_cast<std::uint64_t>(ranks[rank])] = static_cast<std::uint32_t>(rank);
    // For each rank, the longest source place met there.
    std::vector<Found> met(size);
    std::vector<Found> met_near(size);  // the same among places in the first 64 KiB
    std::uint64_t carried = 0;
    const ByteSpan packed(bytes_);
    PassedPages passed(pages, source_);
    for (std::uint64_t at = 0; at + kShortestMatch <= source_.size(); ++at) {
      passed.Reached(at);
      if (carried >= kShortestMatch) {
        --carried;
        continue;
      }
      carried = carried > 0 ? carried - 1 : 0;
      const GramRanks::Range range = grams.Find(LoadWord(source_.data() + at));
      if (range.low == range.high) continue;
      const ByteSpan pattern = source_.subspan(at);
      SuffixSearch<std::int32_t> search(ranks.data(), range.low, range.high, kShortestMatch, pattern);
      while (!search.Done()) search.Step(packed);
      const auto [rank, length] = search.Best();
      if (length < kShortestMatch) continue;
      // The place serves the bytes after the match's first too, one
      // shorter each: the source positions passed over while it is carried
      // would have found them.
      const auto first = static_cast<std::uint64_t>(ranks[rank]);
      for (std::uint64_t skip = 0; skip + kShortestMatch <= length; ++skip) {
        const Found place{static_cast<std::uint32_t>(at + skip), static_cast<std::uint32_t>(length - skip)};
        const std::uint32_t next = rank_of[first + skip];
        if (place.length > met[next].length) met[next] = place;
        if (at + skip < kNearSourceEnd && place.length > met_near[next].length) met_near[next] = place;
      }
      carried = length;
    }
    // Suffixes next to each other in order share as many bytes as their
    // common prefix: a place met at one serves its neighbours that far.
    std::vector<std::uint32_t> common(size, 0);  // with the suffix ranked before
    {
      std::uint64_t shared = 0;
      for (std::uint64_t at = 0; at < size; ++at) {
        const std::uint32_t rank = rank_of[at];
        if (rank == 0) {
          shared = 0;
          continue;
        }
        const std::uint64_t before = static_cast<std::uint64_t>(ranks[rank - 1]);
        while (at + shared < size && before + shared < size && bytes_[at + shared] == bytes_[before + shared])
          ++shared;
        common[rank] = static_cast<std::uint32_t>(shared);
        if (shared > 0) --shared;
      }
    }
    Spread(ranks, common, met, room, found_);
    Spread(ranks, common, met_near, room, near_);
  }

  // Hands the places met at each rank to the ranks around it, as far as
  // their common prefixes go, and then along the stretches to the bytes
  // after each, one shorter: the longest for each byte, in `found`.
  template <typename Room>
  void Spread(const std::vector<std::int32_t>& ranks, const std::vector<std::uint32_t>& common,
              std::vector<Found>& met, const Room& room, std::vector<Found>& found) {
    const std::uint64_t size = met.size();
    auto pass = [&](Found& to, const Found& from, std::uint32_t shared) {
      const std::uint32_t length = std::min(from.length, shared);
      if (length >= kShortestMatch && length > to.length) to = {from.source, length};
    };
    for (std::uint64_t rank = 1; rank < size; ++rank) pass(met[rank], met[rank - 1], common[rank]);
    for (std::uint64_t rank = size - 1; rank-- > 0;) pass(met[rank], met[rank + 1], common[rank + 1]);
    found.assign(size, {});
    for (std::uint64_t rank = 0; rank < size; ++rank) {
      const auto at = static_cast<std::uint64_t>(ranks[rank]);
      Found place = met[rank];
      place.length = static_cast<std::uint32_t>(std::min<std::uint64_t>(place.length, room(at)));
      if (place.length >= kShortestMatch) found[at] = place;
    }
    for (std::uint64_t at = 0; at + 1 < size; ++at) {
      const Found& here = found[at];
      if (here.source == kNone || here.length <= kShortestMatch || room(at) < 2) continue;
      Found& next = found[at + 1];
      if (next.source == kNone || next.length < here.length - 1) next = {here.source + 1, here.length - 1};
    }
  }

  ByteSpan source_;
  ByteSpan target_;
  std::vector<std::uint8_t> bytes_;  // the stretches' bytes, one after another
  std::vector<Start> starts_;
  std::vector<std::uint64_t> ends_;  // where each stretch ends among them
  std::vector<Found> found_;         // for each of them
  std::vector<Found> near_;          // the same in the first 64 KiB of the source
};

}  // namespace

std::unique_ptr<SourceIndex> MakeGapIndex(ByteSpan source, ByteSpan target,
                                          std::span<const Stretch> stretches, const ViewPages& pages) {
  return std::make_unique<GapIndex>(source, target, stretches, pages);
}

}  // namespace varnock::maker
