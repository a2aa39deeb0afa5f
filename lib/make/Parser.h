// Chooses, for a stretch of the target, the instructions that rebuild it in
// the fewest patch bytes, given the copies the matcher found.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "make/Matcher.h"
#include "make/PatchEncoder.h"

namespace varnock::maker {

class Parser {
 public:
  // Writes target [from, to) through `encoder`: the cheapest sequence of
  // literal runs and copies, where a copy may use any part of a candidate
  // (candidates in target order, each starting in [from, to)). Holds 8 bytes
  // per target byte of the stretch.
  void Parse(ByteSpan target, std::uint64_t from, std::uint64_t to,
             std::span<const std::vector<CopyCandidate>> candidates, PatchEncoder& encoder);

 private:
  // How the cheapest way to reach a position ends: the instruction's first
  // target position, and its source position or kLiteral. After the search
  // the first field links each chosen end to the next one instead.
  struct Arrival {
    std::uint32_t start;
    std::uint32_t source;
  };
  static constexpr std::uint32_t kLiteral = 0xFFFFFFFF;

  void Emit(ByteSpan target, std::uint64_t from, std::uint64_t to, PatchEncoder& encoder);

  std::vector<Arrival> arrivals_;
};

}  // namespace varnock::maker
