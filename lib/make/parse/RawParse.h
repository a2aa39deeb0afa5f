// Chooses, for a stretch of the target, the instructions that rebuild it in
// the fewest raw patch bytes, given the copies the matcher found. Every patch
// the default makes goes through its search, kept apart from the container's
// for that (StretchParse.h).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "make/parse/StretchParse.h"

namespace varnock::maker {

class RawParse : private StretchParse {
 public:
  // Hands `take` the instructions that rebuild target [from, to): the
  // cheapest sequence of literal runs and copies, where a copy may use any
  // part of a candidate (candidates in target order, each starting in [from,
  // to)).
  void Parse(std::uint64_t from, std::uint64_t to, std::span<const std::vector<CopyCandidate>> candidates,
             const InstructionTaker& take);

 private:
  void Search(std::uint64_t from, std::uint64_t to, std::span<const std::vector<CopyCandidate>> candidates);
};

}  // namespace varnock::maker
