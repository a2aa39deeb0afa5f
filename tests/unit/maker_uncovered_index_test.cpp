// Guards the index of the stretches the covers leave: a place it hands over
// where the bytes do not agree (it no longer reads the source to check), the
// source bytes before a place that are not those (the matcher extends a
// match backwards over them), or a stretch copied from the source whose
// place it does not find.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "make/index/GapIndex.h"
#include "make/index/ResidualIndex.h"
#include "support/PatchBuilder.h"

namespace varnock::maker {
namespace {

using testing::Bytes;

struct Planted {
  std::uint64_t target;  // where the copy starts in the target
  std::uint64_t source;
  std::uint64_t length;
};

struct Case {
  std::string name;
  Bytes source;
  Bytes target;
  std::vector<Stretch> stretches;
  std::vector<Planted> planted;  // copies of unique source bytes, in the stretches
};

// A source whose first half is random and unique and whose second half is
// made of a few hundred words, as text and markup repeat theirs; stretches
// of the target between filler the index is not asked about, holding copies
// of the random half (planted, from stretches of the source apart from each
// other), runs of words and fresh bytes.
Case Make(std::mt19937& random, const std::string& name, std::uint64_t source_size, bool near_start) {
  Case c{name, {}, {}, {}, {}};
  auto fresh = [&](std::uint64_t size) {
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
  };
  c.source = fresh(source_size / 2);
  std::vector<Bytes> words;
  for (int i = 0; i < 300; ++i) words.push_back(fresh(3 + random() % 28));
  auto text = [&](std::uint64_t size, Bytes& out) {
    const std::uint64_t end = out.size() + size;
    while (out.size() < end) {
      const Bytes& word = words[random() % words.size()];
      out.insert(out.end(), word.begin(), word.end());
    }
  };
  text(source_size - c.source.size(), c.source);
  // The random half past its first 64 KiB cut into slices, one planted copy
  // at most in each, so that no two share a byte of the source; with
  // `near_start` the first copies come from that 64 KiB, 8 KiB apart.
  const std::uint64_t slices = 64;
  const std::uint64_t slice = (source_size / 2 - kNearSourceEnd) / slices;
  std::vector<std::uint64_t> order(slices);
  for (std::uint64_t i = 0; i < slices; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), random);
  for (std::uint64_t i = 0; i < slices; ++i) {
    const Bytes filler = fresh(1 + random() % 300);
    c.target.insert(c.target.end(), filler.begin(), filler.end());
    Stretch stretch{c.target.size(), 0};
    const Bytes before = fresh(random() % 20);
    c.target.insert(c.target.end(), before.begin(), before.end());
    const std::uint64_t length = 8 + random() % (i % 4 == 0 ? 1000 : 40);  // below 8 KiB
    const bool near = near_start && i < 8;
    const std::uint64_t from = near ? i * 8192 + random() % (8192 - length)
                                    : kNearSourceEnd + order[i] * slice + random() % (slice - length);
    c.planted.push_back({c.target.size(), from, length});
    c.target.insert(c.target.end(), c.source.begin() + static_cast<std::ptrdiff_t>(from),
                    c.source.begin() + static_cast<std::ptrdiff_t>(from + length));
    // A byte that breaks the copy, then words and fresh bytes.
    c.target.push_back(static_cast<std::uint8_t>(c.source[from + length] ^ 0x5A));
    text(random() % 200, c.target);
    const Bytes after = fresh(random() % 30);
    c.target.insert(c.target.end(), after.begin(), after.end());
    stretch.to = c.target.size();
    c.stretches.push_back(stretch);
  }
  c.target.insert(c.target.end(), 64, 0);
  return c;
}

std::vector<Case> Cases() {
  std::mt19937 random(20261210);
  return {Make(random, "small source", 400000, false), Make(random, "copies near the start", 400000, true),
          Make(random, "a source of megabytes", 3 << 20, false)};
}

// Covers of a case's source for the residual index, which keeps what they
// leave and the ends of the long ones: sixteen over its text half, whose
// words the stretches then find only in what is kept.
std::vector<CopyCandidate> CoversOf(const Case& c) {
  std::vector<CopyCandidate> covers;
  const std::uint64_t half = c.source.size() / 2;
  const std::uint64_t length = half / 16;
  for (std::uint64_t i = 0; i < 16; ++i) {
    covers.push_back({static_cast<std::uint32_t>(i * length), static_cast<std::uint32_t>(half + i * length),
                      static_cast<std::uint32_t>(length)});
  }
  return covers;
}

// Every match handed over lies in the source and agrees with the target
// (within its stretch, for the gap index, whose matches end there), and the
// bytes before it are the source's: the gap index's and the residual one's.
TEST(UncoveredIndexes, EveryMatchAgreesWithTheSourceAndTheBytesBeforeItAreTheSources) {
  for (const Case& c : Cases()) {
    for (const bool gaps : {true, false}) {
      const auto index = gaps ? MakeGapIndex(c.source, c.target, c.stretches)
                              : MakeResidualIndex(c.source, CoversOf(c), 1, {});
      const std::string name = c.name + (gaps ? ", gap index" : ", residual index");
      std::uint64_t found = 0;
      for (const Stretch& stretch : c.stretches) {
        for (std::uint64_t at = stretch.from; at < stretch.to; ++at) {
          const ByteSpan pattern = ByteSpan(c.target).subspan(at);
          for (const SourceMatch match : {index->Longest(pattern), index->LongestNear(pattern)}) {
            if (match.length == 0) continue;
            ++found;
            ASSERT_GE(match.length, kShortestMatch) << name << " at " << at;
            ASSERT_LE(match.read, match.length) << name << " at " << at;
            if (gaps) {
              ASSERT_LE(at + match.length, stretch.to) << name << " at " << at;
            }
            ASSERT_LE(std::uint64_t{match.source} + match.length, c.source.size()) << name << " at " << at;
            ASSERT_TRUE(
                std::equal(pattern.begin(), pattern.begin() + match.length, c.source.begin() + match.source))
                << name << " at " << at;
            ASSERT_LE(match.known, std::min<std::uint32_t>(8, match.source)) << name << " at " << at;
            for (std::uint32_t back = 0; back < match.known; ++back) {
              ASSERT_EQ(static_cast<std::uint8_t>(match.before >> (56 - 8 * back)),
                        c.source[match.source - back - 1])
                  << name << " at " << at << ", " << back << " back";
            }
          }
          if (gaps) {
            EXPECT_EQ(index->MayMatch(pattern), index->Longest(pattern).length > 0) << name << " at " << at;
          }
        }
      }
      EXPECT_GT(found, 1000u) << name;
    }
  }
}

// A copy of unique source bytes is found where it starts, whole, and among
// the places in the first 64 KiB of the source where it lies there.
TEST(GapIndex, ACopyOfUniqueSourceBytesIsFoundWhole) {
  for (const Case& c : Cases()) {
    const auto index = MakeGapIndex(c.source, c.target, c.stretches);
    for (const Planted& copy : c.planted) {
      const ByteSpan pattern = ByteSpan(c.target).subspan(copy.target);
      const SourceMatch longest = index->Longest(pattern);
      EXPECT_EQ(longest.source, copy.source) << c.name << " at " << copy.target;
      EXPECT_EQ(longest.length, copy.length) << c.name << " at " << copy.target;
      if (copy.source + copy.length <= kNearSourceEnd) {
        const SourceMatch near = index->LongestNear(pattern);
        EXPECT_EQ(near.source, copy.source) << c.name << " at " << copy.target;
        EXPECT_EQ(near.length, copy.length) << c.name << " at " << copy.target;
      }
    }
  }
}

}  // namespace
}  // namespace varnock::maker
