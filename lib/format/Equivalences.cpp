#include "format/Equivalences.h"

#include <algorithm>
#include <iterator>
#include <map>

namespace varnock::container {

void StretchCollector::Copy(std::uint64_t offset, std::uint64_t length, std::uint64_t cursor,
                            std::uint64_t target) {
  if (length == 0) return;
  if (open_ && offset == cursor && open_->end <= offset) {
    open_->end = offset + length;
    return;
  }
  if (open_ && block_.size() <= kMostStretches) block_.push_back(*open_);
  open_ =
      Stretch{offset, offset + length, static_cast<std::int64_t>(target) - static_cast<std::int64_t>(offset)};
}

std::vector<Stretch> StretchCollector::TakeBlock() {
  std::vector<Stretch> taken = std::move(block_);
  block_.clear();
  if (open_) taken.push_back(*open_);
  return taken;
}

namespace {

// The parts of [begin, end) that no interval of `covered` (disjoint, keyed
// by start) covers, each passed to `take`.
template <typename Take>
void ForEachGap(const std::map<std::uint64_t, Stretch>& covered, std::uint64_t begin, std::uint64_t end,
                Take&& take) {
  auto it = covered.upper_bound(begin);
  if (it != covered.begin()) {
    const Stretch& before = std::prev(it)->second;
    if (before.end > begin) begin = before.end;
  }
  for (; begin < end; ++it) {
    const std::uint64_t next = it == covered.end() ? end : std::min(end, it->second.source);
    if (begin < next) take(begin, next);
    if (it == covered.end()) break;
    begin = std::max(begin, it->second.end);
  }
}

}  // namespace

void Equivalences::Learn(std::span<const Stretch> stretches) {
  if (stretches.size() > kMostStretches - held_.size()) return;
  // The block's own stretches first, earlier ones winning, then what the
  // held ones leave of them.
  std::map<std::uint64_t, Stretch> block;
  for (const Stretch& stretch : stretches) {
    std::vector<Stretch> gaps;
    ForEachGap(block, stretch.source, stretch.end, [&](std::uint64_t begin, std::uint64_t end) {
      gaps.push_back({begin, end, stretch.shift});
    });
    for (const Stretch& gap : gaps) block.emplace(gap.source, gap);
  }
  std::vector<Stretch> added;
  for (const auto& [start, stretch] : block) {
    auto it = std::upper_bound(held_.begin(), held_.end(), stretch.source,
                               [](std::uint64_t at, const Stretch& held) { return at < held.source; });
    std::uint64_t begin = stretch.source;
    if (it != held_.begin() && std::prev(it)->end > begin) begin = std::prev(it)->end;
    for (; begin < stretch.end; ++it) {
      const std::uint64_t next = it == held_.end() ? stretch.end : std::min(stretch.end, it->source);
      if (begin < next) added.push_back({begin, next, stretch.shift});
      if (it == held_.end()) break;
      begin = std::max(begin, it->end);
    }
  }
  if (added.empty() || added.size() > kMostStretches - held_.size()) return;
  std::vector<Stretch> merged;
  merged.reserve(held_.size() + added.size());
  std::merge(held_.begin(), held_.end(), added.begin(), added.end(), std::back_inserter(merged),
             [](const Stretch& a, const Stretch& b) { return a.source < b.source; });
  held_ = std::move(merged);
}

std::optional<std::int64_t> Equivalences::ShiftAt(std::uint64_t at) const {
  if (held_.empty() || at < held_.front().source) return std::nullopt;
  // The last stretch starting at or before `at`, by halving without
  // branches: the prediction asks for every reference's target, in no order
  // a branch predictor could learn.
  const Stretch* last = held_.data();
  for (std::size_t count = held_.size(); count > 1;) {
    const std::size_t half = count / 2;
    last = last[half].source <= at ? last + half : last;
    count -= half;
  }
  if (at >= last->end) return std::nullopt;
  return last->shift;
}

}  // namespace varnock::container
