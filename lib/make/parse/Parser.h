// Chooses, for a stretch of the target, the instructions that rebuild it in
// the fewest patch bytes, given the copies the matcher found.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "make/parse/StretchParse.h"

namespace varnock::maker {

class Parser : private StretchParse {
 public:
  // Weighs instructions by the bytes they take in the raw patch.
  Parser() = default;
  // Weighs them by what they are thought to take in a container, where a
  // literal is stored as its difference from the source at the cursor: a copy
  // may run on through bytes that differ from `source`, which it is written
  // as exact copies on its diagonal with literals between them.
  explicit Parser(ByteSpan source) : source_(source), for_container_(true) {}

  // Hands `take` the instructions that rebuild target [from, to): the
  // cheapest sequence of literal runs and copies, where a copy may use any
  // part of a candidate (candidates in target order, each starting in [from,
  // to)). `cursor` is where the cursor stands at `from` (PatchEncoder::Cursor).
  void Parse(ByteSpan target, std::uint64_t from, std::uint64_t to,
             std::span<const std::vector<CopyCandidate>> candidates, std::uint64_t cursor,
             const InstructionTaker& take);

 private:
  void ParseForRaw(std::uint64_t from, std::uint64_t to,
                   std::span<const std::vector<CopyCandidate>> candidates);
  // In ContainerParse.cpp.
  void ParseForContainer(ByteSpan target, std::uint64_t from, std::uint64_t to,
                         std::span<const std::vector<CopyCandidate>> candidates, std::uint64_t cursor);

  // Puts in pieces_ the exact copies and the literals a run [start, end) on
  // one diagonal, from `source` on, is written as, positions from `from`
  // (ContainerParse.cpp).
  void SplitRun(ByteSpan target, std::uint64_t from, std::uint32_t start, std::uint32_t end,
                std::uint32_t source);

  ByteSpan source_;
  bool for_container_ = false;
  std::vector<Instruction> pieces_;
};

}  // namespace varnock::maker
