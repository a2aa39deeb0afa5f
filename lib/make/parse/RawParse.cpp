#include "make/parse/RawParse.h"

#include <algorithm>
#include <limits>

namespace varnock::maker {
namespace {

// Copies weighed at once at one position; more than the matcher's longest and
// nearest plus the ones still running from before is rare.
constexpr std::size_t kMostCopies = 8;

// A copy being weighed: the candidate's stretch of one diagonal (source minus
// target position) and where on it the cheapest copy to take now would start.
struct OpenCopy {
  std::int64_t diagonal;
  std::uint64_t end;
  std::uint64_t start;
  std::uint64_t start_cost;

  std::uint64_t SourceAt(std::uint64_t position) const {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(position) + diagonal);
  }
  std::uint64_t CostTo(std::uint64_t position) const {
    return start_cost + CopyCost(SourceAt(start), position - start);
  }
};

// The literal run being weighed, likewise.
struct OpenLiteral {
  std::uint64_t start = 0;
  std::uint64_t start_cost = 0;
  std::uint64_t CostTo(std::uint64_t position) const { return start_cost + LiteralCost(position - start); }
};

class OpenCopies {
 public:
  // A candidate on the diagonal of an open copy lengthens it; otherwise it
  // opens one, in place of the one that ends first when all are taken.
  void Add(std::int64_t diagonal, std::uint64_t end, std::uint64_t position, std::uint64_t cost) {
    for (OpenCopy& copy : copies_) {
      if (copy.diagonal == diagonal) {
        copy.end = std::max(copy.end, end);
        return;
      }
    }
    const OpenCopy opened{diagonal, end, position, cost};
    if (copies_.size() < kMostCopies) {
      copies_.push_back(opened);
      return;
    }
    auto first_end = std::min_element(copies_.begin(), copies_.end(),
                                      [](const OpenCopy& a, const OpenCopy& b) { return a.end < b.end; });
    if (first_end->end < end) *first_end = opened;
  }
  void CloseEndedBy(std::uint64_t position) {
    std::erase_if(copies_, [&](const OpenCopy& copy) { return copy.end <= position; });
  }
  std::vector<OpenCopy>& All() { return copies_; }

 private:
  std::vector<OpenCopy> copies_;
};

}  // namespace

void RawParse::Parse(std::uint64_t from, std::uint64_t to,
                     std::span<const std::vector<CopyCandidate>> candidates, const InstructionTaker& take) {
  const bool none = std::all_of(candidates.begin(), candidates.end(),
                                [](const std::vector<CopyCandidate>& list) { return list.empty(); });
  if (none) {
    if (to > from) take({static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(to), kCarried});
    return;
  }
  Search(from, to, candidates);
  Emit(from, to, take, [](std::uint32_t start, std::uint32_t end, std::uint32_t source, auto& add) {
    add(start, end, source);
  });
}

void RawParse::Search(std::uint64_t from, std::uint64_t to,
                      std::span<const std::vector<CopyCandidate>> candidates) {
  const std::uint64_t length = to - from;
  arrivals_.resize(length + 1);
  OpenLiteral literal;
  OpenCopies copies;
  CandidateWalk walk(candidates, from);
  std::uint64_t cost = 0;  // of the cheapest way to rebuild [from, from + position)
  for (std::uint64_t position = 0;; ++position) {
    if (position > 0) {
      cost = literal.CostTo(position);
      Arrival arrival{static_cast<std::uint32_t>(literal.start), kLiteral};
      for (const OpenCopy& copy : copies.All()) {
        const std::uint64_t copy_cost = copy.CostTo(position);
        if (copy_cost < cost) {
          cost = copy_cost;
          arrival = {static_cast<std::uint32_t>(copy.start),
                     static_cast<std::uint32_t>(copy.SourceAt(copy.start))};
        }
      }
      arrivals_[position] = arrival;
      copies.CloseEndedBy(position);
    }
    if (position == length) break;

    walk.At(position, [&](const CopyCandidate& candidate, std::int64_t diagonal) {
      const std::uint64_t end =
          std::min<std::uint64_t>(std::uint64_t{candidate.target} + candidate.length, to);
      copies.Add(diagonal, end - from, position, cost);
    });

    // Start afresh here where that makes the next byte cheaper.
    if (position == 0 || cost + LiteralCost(1) <= literal.CostTo(position + 1)) literal = {position, cost};
    for (OpenCopy& copy : copies.All()) {
      if (copy.start < position && cost + CopyCost(copy.SourceAt(position), 1) <= copy.CostTo(position + 1)) {
        copy.start = position;
        copy.start_cost = cost;
      }
    }
  }
}

}  // namespace varnock::maker
