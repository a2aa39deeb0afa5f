// Binary search of a pattern among sorted suffixes of the source.
#pragma once

#include <algorithm>
#include <cstdint>

#include "make/index/CommonPrefix.h"
#include "make/index/SourceIndex.h"

namespace varnock::maker {

// Searches among the suffixes ranked [low, high), all of which share the
// pattern's first `known` bytes. Each step skips the bytes that both bounds
// already share with the pattern, so a long match is compared about once, not
// once per step. The longest match is one of the two neighbours of the place
// where the pattern would sort.
template <typename Entry>
class SuffixSearch {
 public:
  SuffixSearch() = default;
  SuffixSearch(const Entry* ranks, std::uint64_t low, std::uint64_t high, std::uint64_t known,
               ByteSpan pattern)
      : ranks_(ranks),
        pattern_(pattern),
        low_(low),
        high_(high),
        low_end_(low),
        high_end_(high),
        low_common_(known),
        high_common_(known) {}

  bool Done() const { return low_ >= high_; }

  void Step(ByteSpan source) {
    const std::uint64_t middle = Middle();
    const auto at = static_cast<std::uint64_t>(ranks_[middle]);
    const std::uint64_t limit = std::min<std::uint64_t>(pattern_.size(), source.size() - at);
    std::uint64_t common = std::min(low_common_, high_common_);
    common += CommonPrefix(pattern_.data() + common, source.data() + at + common, limit - common);
    const bool suffix_first =
        common < pattern_.size() && (common == limit || source[at + common] < pattern_[common]);
    if (suffix_first) {
      low_ = middle + 1;
      low_common_ = common;
    } else {
      high_ = middle;
      high_common_ = common;
    }
  }

  // Once done: the longer of the two neighbours, the one nearer the source's
  // start when they tie; length 0 when shorter than kShortestMatch.
  SourceMatch Result() const {
    const Nearest nearest = Best();
    if (nearest.length < kShortestMatch) return {};
    return {static_cast<std::uint32_t>(ranks_[nearest.rank]), static_cast<std::uint32_t>(nearest.length)};
  }

  // Once done: the rank of the longer neighbour (as Result() chooses) and
  // the bytes it shares with the pattern, however few.
  struct Nearest {
    std::uint64_t rank = 0;
    std::uint64_t length = 0;
  };
  Nearest Best() const {
    Nearest best;
    bool any = false;
    auto consider = [&](std::uint64_t rank, std::uint64_t common) {
      if (!any || common > best.length || (common == best.length && ranks_[rank] < ranks_[best.rank])) {
        best = {rank, common};
        any = true;
      }
    };
    if (low_ > low_end_) consider(low_ - 1, low_common_);
    if (low_ < high_end_) consider(low_, high_common_);
    return best;
  }

 private:
  std::uint64_t Middle() const { return low_ + (high_ - low_) / 2; }

  const Entry* ranks_ = nullptr;
  ByteSpan pattern_;
  std::uint64_t low_ = 0;
  std::uint64_t high_ = 0;
  std::uint64_t low_end_ = 0;
  std::uint64_t high_end_ = 0;
  std::uint64_t low_common_ = 0;
  std::uint64_t high_common_ = 0;
};

}  // namespace varnock::maker
