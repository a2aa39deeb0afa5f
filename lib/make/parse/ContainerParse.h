// The parse aimed at a container. There a copy's offset is written from the
// cursor, and a literal as its difference from the source at the cursor, each
// stream compressed alone: a copy that goes on along the diagonal of the one
// before costs little more than its length, and a byte that differs on the
// diagonal the cursor stands on costs less than one that is new. So a stretch
// that almost matches (relocated addresses, renumbered constants) is best
// written as one run on its diagonal: exact copies where the bytes agree, the
// bytes that differ as literals between them. The parse weighs such runs
// beside plain literals, by what each is thought to take once compressed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "make/parse/StretchParse.h"

namespace varnock::maker {

class ContainerParse : private StretchParse {
 public:
  // Copies read `source`, and literals are weighed by their difference from
  // it at the cursor.
  explicit ContainerParse(ByteSpan source) : source_(source) {}

  // Hands `take` the instructions that rebuild target [from, to): the
  // cheapest sequence of literal runs and runs on one diagonal, where a run
  // may start anywhere in a candidate (candidates in target order, each
  // starting in [from, to)) and go on through bytes that differ from the
  // source, which it is written as exact copies with literals between them.
  // `cursor` is where the cursor stands at `from` (PatchEncoder::Cursor).
  void Parse(ByteSpan target, std::uint64_t from, std::uint64_t to,
             std::span<const std::vector<CopyCandidate>> candidates, std::uint64_t cursor,
             const InstructionTaker& take);

 private:
  void Search(ByteSpan target, std::uint64_t from, std::uint64_t to,
              std::span<const std::vector<CopyCandidate>> candidates, std::uint64_t cursor);

  // Puts in pieces_ the exact copies and the literals a run [start, end) on
  // one diagonal, from `source` on, is written as, positions from `from`.
  void SplitRun(ByteSpan target, std::uint64_t from, std::uint32_t start, std::uint32_t end,
                std::uint32_t source);

  ByteSpan source_;
  std::vector<Instruction> pieces_;
};

}  // namespace varnock::maker
