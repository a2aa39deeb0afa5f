// Guards the stretches maker and decoder learn from a container's copies:
// both sides must find the same shift for every source byte, the first
// stretch to cover a byte keeping it, whatever the order of the copies.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <vector>

#include "format/Equivalences.h"

namespace varnock::container {
namespace {

TEST(Equivalences, ShiftIsTheFirstCoveringStretchInPatchOrder) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 200; ++round) {
    constexpr std::uint64_t kSource = 512;
    Equivalences learnt;
    std::vector<std::optional<std::int64_t>> expected(kSource);
    const int blocks = 1 + static_cast<int>(random() % 4);
    for (int b = 0; b < blocks; ++b) {
      std::vector<Stretch> block;
      const int count = static_cast<int>(random() % 6);
      for (int s = 0; s < count; ++s) {
        const std::uint64_t begin = random() % kSource;
        const std::uint64_t end = std::min(kSource, begin + 1 + random() % 100);
        block.push_back({begin, end, static_cast<std::int64_t>(random() % 200) - 100});
      }
      for (const Stretch& stretch : block) {
        for (std::uint64_t at = stretch.source; at < stretch.end; ++at) {
          if (!expected[at]) expected[at] = stretch.shift;
        }
      }
      learnt.Learn(block);
    }
    for (std::uint64_t at = 0; at < kSource; ++at) ASSERT_EQ(learnt.ShiftAt(at), expected[at]) << at;
  }
}

TEST(StretchCollector, CopiesOnTheCursorsDiagonalJoinOneStretch) {
  StretchCollector collector;
  collector.Copy(100, 10, 0, 0);    // target 0..10 from 100..110
  collector.Copy(114, 6, 114, 14);  // a 4-byte literal, then on along the diagonal
  collector.Copy(50, 5, 120, 20);   // elsewhere
  std::vector<Stretch> block = collector.TakeBlock();
  const std::vector<Stretch> expected = {{100, 120, -100}, {50, 55, -30}};
  EXPECT_EQ(block, expected);
  // The open stretch goes on into the next block.
  collector.Copy(55, 5, 55, 25);
  block = collector.TakeBlock();
  EXPECT_EQ(block, (std::vector<Stretch>{{50, 60, -30}}));
}

}  // namespace
}  // namespace varnock::container
