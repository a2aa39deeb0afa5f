// Chooses, for a stretch of the target, the instructions that rebuild it in
// the fewest patch bytes, given the copies the matcher found.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "make/encode/PatchEncoder.h"
#include "make/index/Matcher.h"

namespace varnock::maker {

// An instruction the parse chose: target [start, end) copied from `source`
// on, or carried in the patch (kCarried).
struct Instruction {
  std::uint32_t start;
  std::uint32_t end;
  std::uint32_t source;
  bool operator==(const Instruction&) const = default;
};
inline constexpr std::uint32_t kCarried = 0xFFFFFFFF;

// Takes the instructions a parse chose, in target order.
using InstructionTaker = std::function<void(const Instruction&)>;

// Hands `instruction`, of `target`, to the encoder.
void WriteInstruction(ByteSpan target, const Instruction& instruction, PatchEncoder& encoder);

class Parser {
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
  // Holds 8 bytes per target byte of the stretch.
  void Parse(ByteSpan target, std::uint64_t from, std::uint64_t to,
             std::span<const std::vector<CopyCandidate>> candidates, std::uint64_t cursor,
             const InstructionTaker& take);

 private:
  // How the cheapest way to reach a position ends: the instruction's first
  // target position, and its source position or kLiteral. After the search
  // the first field links each chosen end to the next one instead.
  struct Arrival {
    std::uint32_t start;
    std::uint32_t source;
  };
  static constexpr std::uint32_t kLiteral = kCarried;

  void ParseForRaw(std::uint64_t from, std::uint64_t to,
                   std::span<const std::vector<CopyCandidate>> candidates);
  // In ContainerParse.cpp.
  void ParseForContainer(ByteSpan target, std::uint64_t from, std::uint64_t to,
                         std::span<const std::vector<CopyCandidate>> candidates, std::uint64_t cursor);
  void Emit(ByteSpan target, std::uint64_t from, std::uint64_t to, const InstructionTaker& take);

  // Puts in pieces_ the exact copies and the literals a run [start, end) on
  // one diagonal, from `source` on, is written as, positions from `from`
  // (ContainerParse.cpp).
  void SplitRun(ByteSpan target, std::uint64_t from, std::uint32_t start, std::uint32_t end,
                std::uint32_t source);

  ByteSpan source_;
  bool for_container_ = false;
  std::vector<Arrival> arrivals_;
  std::vector<Instruction> pieces_;
};

}  // namespace varnock::maker
