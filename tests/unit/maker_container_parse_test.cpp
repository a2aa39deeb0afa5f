// Guards against a parse for the container whose instructions do not rebuild
// the stretch they were asked for, copy bytes that differ from the source, or
// leave the cursor's diagonal where the target only differs here and there.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "make/index/Matcher.h"
#include "make/index/SourceIndex.h"
#include "make/parse/ContainerParse.h"
#include "make/parse/RawParse.h"

namespace varnock::maker {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Instruction> RawStretch(std::uint64_t from, std::uint64_t to,
                                    const std::vector<CopyCandidate>& candidates) {
  RawParse parse;
  std::vector<Instruction> chosen;
  parse.Parse(from, to, std::span(&candidates, 1),
              [&](const Instruction& instruction) { chosen.push_back(instruction); });
  return chosen;
}

std::vector<Instruction> ContainerStretch(ByteSpan source, ByteSpan target, std::uint64_t from,
                                          std::uint64_t to, const std::vector<CopyCandidate>& candidates,
                                          std::uint64_t cursor) {
  ContainerParse parse(source);
  std::vector<Instruction> chosen;
  parse.Parse(target, from, to, std::span(&candidates, 1), cursor,
              [&](const Instruction& instruction) { chosen.push_back(instruction); });
  return chosen;
}

// Random stretches of pairs made of moved, edited and new bytes, parsed both
// ways from a random cursor: the instructions tile the stretch, and every
// copy lies in the source and equals the target there.
TEST(ContainerParse, InstructionsTileTheStretchAndCopyOnlyWhatAgrees) {
  std::mt19937 random(77);
  for (int round = 0; round < 30; ++round) {
    Bytes source(2000 + random() % 60000);
    for (std::uint8_t& byte : source)
      byte = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : random() % 8);
    Bytes target;
    while (target.size() < source.size()) {
      const std::size_t at = random() % source.size();
      const std::size_t length = std::min<std::size_t>(1 + random() % 3000, source.size() - at);
      const std::size_t first = target.size();
      target.insert(target.end(), source.begin() + at, source.begin() + at + length);
      const unsigned period = 2 + random() % 30;
      for (std::size_t i = first; i < target.size(); i += 1 + random() % period) target[i] += 1;
      for (unsigned fresh = random() % 40; fresh > 0; --fresh)
        target.push_back(static_cast<std::uint8_t>(random()));
    }
    const auto index = MakeSuffixIndex(source, 1, {});
    const std::uint64_t from = random() % (target.size() / 2);
    const std::uint64_t to = from + 1 + random() % (target.size() - from - 1);
    std::vector<CopyCandidate> candidates;
    FindCandidates(*index, source, target, from, to, MatchSettings{}, candidates);
    const std::uint64_t cursor = random() % (source.size() + 16);
    for (const std::vector<Instruction>& chosen :
         {RawStretch(from, to, candidates), ContainerStretch(source, target, from, to, candidates, cursor)}) {
      std::uint64_t at = from;
      for (const Instruction& instruction : chosen) {
        ASSERT_EQ(instruction.start, at) << "round " << round;
        ASSERT_LT(instruction.start, instruction.end) << "round " << round;
        if (instruction.source != kCarried) {
          const std::uint64_t length = instruction.end - instruction.start;
          ASSERT_LE(instruction.source + length, source.size()) << "round " << round;
          EXPECT_TRUE(std::equal(source.begin() + instruction.source,
                                 source.begin() + static_cast<std::ptrdiff_t>(instruction.source + length),
                                 target.begin() + instruction.start))
              << "round " << round;
        }
        at = instruction.end;
      }
      EXPECT_EQ(at, to) << "round " << round;
    }
  }
}

// The source at the cursor with one byte in `period` changed, and no
// candidate at all: the container's parse stays on the cursor's diagonal,
// copying what agrees and carrying only the changed bytes, where the raw
// parse carries everything.
TEST(ContainerParse, ATargetThatDiffersHereAndThereStaysOnTheCursorsDiagonal) {
  std::mt19937 random(5);
  Bytes source(20000);
  for (std::uint8_t& byte : source) byte = static_cast<std::uint8_t>(random());
  const std::uint64_t cursor = 3000;
  for (unsigned period : {5u, 8u, 13u, 40u}) {
    Bytes target(source.begin() + cursor, source.begin() + cursor + 9000);
    std::uint64_t changed = 0;
    for (std::size_t i = period - 1; i < target.size(); i += period, ++changed) target[i] ^= 0x40;
    const std::vector<CopyCandidate> none;
    std::uint64_t carried = 0;
    for (const Instruction& instruction : ContainerStretch(source, target, 0, target.size(), none, cursor)) {
      if (instruction.source == kCarried)
        carried += instruction.end - instruction.start;
      else
        EXPECT_EQ(instruction.source, cursor + instruction.start) << "period " << period;
    }
    EXPECT_EQ(carried, changed) << "period " << period;
    const std::vector<Instruction> raw = RawStretch(0, target.size(), none);
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(raw.front().source, kCarried);
  }
}

}  // namespace
}  // namespace varnock::maker
