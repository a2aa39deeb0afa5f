#include "make/parse/ContainerParse.h"

#include <algorithm>
#include <bit>

namespace varnock::maker {
namespace {

// What an instruction and a byte are thought to take once the container's
// streams are compressed, in eighths of a byte, from the streams of
// executables' containers and tuned on libc, perf and postgres: moving any one
// cost a third up or down moved their containers by less than 3%.
struct Costs {
  std::uint64_t copy = 16;          // a copy's opcode and length, besides its offset
  std::uint64_t resume = 8;         // a copy back on the diagonal the cursor kept
  std::uint64_t literal_start = 3;  // a literal's opcode
  std::uint64_t differing = 6;      // a byte that differs from the source at the cursor
  std::uint64_t agreeing = 2;       // a byte of a literal that agrees with it
  std::uint64_t literal = 6;        // a byte of a literal off every diagonal weighed
  // Fewer agreeing bytes than this between differing ones stay in the literal.
  std::uint32_t shortest_inner = 4;
};
constexpr Costs kCosts;

// A copy whose source starts `shift` bytes from the cursor: its offset is
// written as a varint of about one byte per 7 bits, and repeats little
// unless it is 0.
std::uint64_t ShiftedCopyCost(std::int64_t shift) {
  const std::uint64_t distance = static_cast<std::uint64_t>(shift < 0 ? -shift : shift);
  if (distance == 0) return kCosts.resume;
  const auto offset_bytes = static_cast<std::uint64_t>((std::bit_width(distance) + 1 + 6) / 7);
  return kCosts.copy + 8 * offset_bytes;
}

// Runs weighed at once. A run that goes on past its candidates may still be
// the one to go back to after bytes that differ: it stays until it is the
// dearest of them when another comes, or it passes the source's end.
constexpr std::size_t kMostRuns = 8;

// A run on one diagonal (source minus target position) being weighed, and
// what it has cost since its start, as ContainerParse::SplitRun will write it.
struct Run {
  std::int64_t diagonal;
  std::uint64_t start;
  std::uint64_t start_cost;  // of the way to the start, and the copy there
  std::uint64_t settled = 0;
  std::uint32_t agreeing = 0;  // bytes that agree since the last that differed
  bool in_literal = false;

  std::uint64_t SourceAt(std::uint64_t position) const {
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(position) + diagonal);
  }
  std::uint64_t Cost() const { return start_cost + settled + (in_literal ? agreeing * kCosts.agreeing : 0); }
  void Restart(std::uint64_t position, std::uint64_t cost) { *this = {diagonal, position, cost}; }
  void Step(bool agrees) {
    if (agrees) {
      if (in_literal && ++agreeing == kCosts.shortest_inner) {
        settled += kCosts.resume;
        in_literal = false;
      }
      return;
    }
    settled += (in_literal ? agreeing * kCosts.agreeing : kCosts.literal_start) + kCosts.differing;
    in_literal = true;
    agreeing = 0;
  }
};

struct OpenLiteral {
  std::uint64_t start = 0;
  std::uint64_t start_cost = 0;
  std::int64_t diagonal = 0;  // the cursor's, which the literal keeps
  std::uint64_t CostTo(std::uint64_t position) const {
    return start_cost + kCosts.literal_start + kCosts.literal * (position - start);
  }
};

}  // namespace

void ContainerParse::Parse(ByteSpan target, std::uint64_t from, std::uint64_t to,
                           std::span<const std::vector<CopyCandidate>> candidates, std::uint64_t cursor,
                           const InstructionTaker& take) {
  Search(target, from, to, candidates, cursor);
  Emit(from, to, take, [&](std::uint32_t start, std::uint32_t end, std::uint32_t source, auto& add) {
    SplitRun(target, from, start, end, source);
    for (const Instruction& piece : pieces_) add(piece.start, piece.end, piece.source);
  });
}

void ContainerParse::Search(ByteSpan target, std::uint64_t from, std::uint64_t to,
                            std::span<const std::vector<CopyCandidate>> candidates,
                            std::uint64_t cursor_at_start) {
  const std::uint64_t length = to - from;
  arrivals_.resize(length + 1);
  std::vector<Run> runs;
  runs.reserve(kMostRuns);
  // The diagonal the cursor is on at the end of the cheapest way here. Its
  // run is open from the start, its first copy free: it goes on from the
  // instruction before.
  std::int64_t cursor = static_cast<std::int64_t>(cursor_at_start);
  if (cursor_at_start < source_.size()) runs.push_back({cursor, 0, 0});
  OpenLiteral literal;
  CandidateWalk walk(candidates, from);
  std::uint64_t cost = 0;  // of the cheapest way to rebuild [from, from + position)
  for (std::uint64_t position = 0;; ++position) {
    if (position > 0) {
      cost = literal.CostTo(position);
      Arrival arrival{static_cast<std::uint32_t>(literal.start), kLiteral};
      cursor = literal.diagonal;
      for (const Run& run : runs) {
        const std::uint64_t run_cost = run.Cost();
        if (run_cost < cost) {
          cost = run_cost;
          cursor = run.diagonal;
          arrival = {static_cast<std::uint32_t>(run.start),
                     static_cast<std::uint32_t>(run.SourceAt(run.start))};
        }
      }
      arrivals_[position] = arrival;
      std::erase_if(runs, [&](const Run& run) { return run.SourceAt(position) >= source_.size(); });
    }
    if (position == length) break;

    walk.At(position, [&](const CopyCandidate&, std::int64_t diagonal) {
      if (std::any_of(runs.begin(), runs.end(), [&](const Run& run) { return run.diagonal == diagonal; }))
        return;
      const Run opened{diagonal, position, cost + ShiftedCopyCost(diagonal - cursor)};
      if (runs.size() < kMostRuns) {
        runs.push_back(opened);
      } else {
        *std::max_element(runs.begin(), runs.end(),
                          [](const Run& a, const Run& b) { return a.Cost() < b.Cost(); }) = opened;
      }
    });

    // Start afresh here where that is cheaper.
    if (position == 0 || cost + kCosts.literal_start <= literal.CostTo(position))
      literal = {position, cost, cursor};
    const std::uint8_t byte = target[from + position];
    for (Run& run : runs) {
      const std::uint64_t at = run.SourceAt(position);
      const bool here = at < source_.size() && source_[at] == byte;
      if (here && run.start < position) {
        const std::uint64_t restart_cost = cost + ShiftedCopyCost(run.diagonal - cursor);
        if (restart_cost <= run.Cost()) run.Restart(position, restart_cost);
      }
      run.Step(here);
    }
  }
}

void ContainerParse::SplitRun(ByteSpan target, std::uint64_t from, std::uint32_t start, std::uint32_t end,
                              std::uint32_t source) {
  pieces_.clear();
  auto agrees = [&](std::uint32_t position) {
    const std::uint64_t at = std::uint64_t{source} + (position - start);
    return at < source_.size() && target[from + position] == source_[at];
  };
  auto copy_from = [&](std::uint32_t position) {
    const std::uint32_t copied = position;
    while (position < end && agrees(position)) ++position;
    pieces_.push_back({copied, position, source + (copied - start)});
    return position;
  };
  std::uint32_t position = start;
  if (agrees(position)) position = copy_from(position);
  while (position < end) {
    // A literal: the bytes that differ, and the runs too short to copy
    // between them.
    const std::uint32_t literal_start = position;
    for (;;) {
      while (position < end && !agrees(position)) ++position;
      std::uint32_t agreeing = position;
      while (agreeing < end && agreeing - position < kCosts.shortest_inner && agrees(agreeing)) ++agreeing;
      if (agreeing - position == kCosts.shortest_inner || agreeing == end) {
        if (agreeing == end && agreeing - position < kCosts.shortest_inner) position = end;
        break;
      }
      position = agreeing;
    }
    pieces_.push_back({literal_start, position, kLiteral});
    if (position < end) position = copy_from(position);
  }
}

}  // namespace varnock::maker
