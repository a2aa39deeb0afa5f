// Guards the block covers and the path through them: covers that are not
// where the bytes agree, edits that cost more than writing them out, a patch
// that depends on the thread count, an index built for inputs that share
// nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "make/Maker.h"
#include "make/encode/PatchEncoder.h"
#include "make/index/BlockCover.h"
#include "support/MakerHarness.h"

namespace varnock {
namespace {

using testing::ApplyInMemory;
using testing::Bytes;
using testing::MakeInMemory;

constexpr std::uint64_t kFrame = 12 + 5 + 1;  // header, signature, stop

struct Case {
  std::string name;
  Bytes source;
  Bytes target;
  // The cost of the edit script that made the target; 0 where there is none.
  std::uint64_t script_cost;
};

Bytes Random(std::mt19937& random, std::size_t size) {
  Bytes bytes(size);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// The source kept in stretches between edits of 1 to 16 bytes, replaced or
// inserted, each edit at a multiple of the block size or anywhere: the
// script is a copy per stretch and a literal per edit.
Case Edited(std::mt19937& random, const std::string& name, bool aligned, bool insert) {
  Case c{name, Random(random, 3 << 20), {}, kFrame};
  std::uint64_t at = 0;
  while (at < c.source.size()) {
    std::uint64_t next = std::min<std::uint64_t>(c.source.size(), at + 2000 + random() % 60000);
    if (aligned) next -= next % maker::kCoverBlock;
    c.target.insert(c.target.end(), c.source.begin() + static_cast<std::ptrdiff_t>(at),
                    c.source.begin() + static_cast<std::ptrdiff_t>(next));
    c.script_cost += CopyCost(at, next - at);
    if (next == c.source.size()) break;
    const std::uint64_t edit = 1 + random() % 16;
    const Bytes fresh = Random(random, edit);
    c.target.insert(c.target.end(), fresh.begin(), fresh.end());
    c.script_cost += LiteralCost(edit);
    at = insert ? next : std::min<std::uint64_t>(c.source.size(), next + edit);
  }
  return c;
}

std::vector<Case> Cases() {
  std::mt19937 random(20261208);
  std::vector<Case> cases;
  cases.push_back(Edited(random, "replaced at block bounds", true, false));
  cases.push_back(Edited(random, "replaced anywhere", false, false));
  cases.push_back(Edited(random, "inserted anywhere", false, true));
  // Nothing in common, past the size below which the source is always indexed.
  cases.push_back({"nothing shared", Random(random, 2 << 20), Random(random, 2 << 20), 0});
  // Blocks held many times over: the covers must still follow the bytes.
  Bytes repeated;
  const Bytes unit = Random(random, 3 * maker::kCoverBlock + 5);
  while (repeated.size() < (1 << 20)) repeated.insert(repeated.end(), unit.begin(), unit.end());
  Bytes shifted(repeated.begin() + 7, repeated.end());
  shifted.insert(shifted.end(), unit.begin(), unit.begin() + 100);
  cases.push_back({"repeated blocks", repeated, shifted, 0});
  return cases;
}

TEST(BlockCover, CoversAreOrderedDisjointAndWhereTheBytesAgree) {
  for (const Case& c : Cases()) {
    const std::vector<maker::CopyCandidate> covers = maker::FindCovers(c.source, c.target);
    std::uint64_t end = 0;
    for (const maker::CopyCandidate& cover : covers) {
      ASSERT_GE(cover.target, end) << c.name;
      ASSERT_GE(cover.length, maker::kCoverBlock) << c.name;
      ASSERT_LE(std::uint64_t{cover.source} + cover.length, c.source.size()) << c.name;
      ASSERT_TRUE(std::equal(c.target.begin() + cover.target, c.target.begin() + cover.target + cover.length,
                             c.source.begin() + cover.source))
          << c.name << " at " << cover.target;
      end = std::uint64_t{cover.target} + cover.length;
    }
    if (c.script_cost != 0) {
      EXPECT_GT(covers.size(), 10u) << c.name;
    }
  }
}

// Past the size where the table takes a block every CoverStride bytes,
// every shared stretch of CoverStride + kCoverBlock - 1 bytes still holds a
// whole block of the table, and is covered from end to end.
TEST(BlockCover, ALargeSourceSharesEveryStretchAsLongAsTheStride) {
  std::mt19937 random(20261209);
  const Bytes source = Random(random, (26 << 20) + 5);
  const std::uint64_t stride = maker::CoverStride(source.size());
  ASSERT_GT(stride, maker::kCoverBlock);
  const std::uint64_t length = stride + maker::kCoverBlock - 1;
  Bytes target;
  std::vector<std::uint64_t> starts;
  while (target.size() < (2 << 20)) {
    const Bytes junk = Random(random, 1 + random() % 20);
    target.insert(target.end(), junk.begin(), junk.end());
    const std::uint64_t from = random() % (source.size() - length);
    starts.push_back(target.size());
    target.insert(target.end(), source.begin() + static_cast<std::ptrdiff_t>(from),
                  source.begin() + static_cast<std::ptrdiff_t>(from + length));
  }
  const std::vector<maker::CopyCandidate> covers = maker::FindCovers(source, target);
  auto cover = covers.begin();
  for (const std::uint64_t start : starts) {
    while (cover != covers.end() && cover->target + cover->length < start + length) ++cover;
    ASSERT_NE(cover, covers.end()) << start;
    EXPECT_LE(cover->target, start) << start;
  }
}

// A search for covers that is to give up once they leave more than a bound
// gives up exactly when they do, and finds the same covers otherwise; and a
// table of every kCoverBlock-th block finds the covers a sampled one finds.
TEST(BlockCover, GivesUpOnlyWhereTheCoversLeaveMoreThanTheBound) {
  for (const Case& c : Cases()) {
    const std::vector<maker::CopyCandidate> covers = maker::FindCovers(c.source, c.target);
    std::uint64_t covered = 0;
    for (const maker::CopyCandidate& cover : covers) covered += cover.length;
    const std::uint64_t left = c.target.size() - covered;
    for (const std::uint64_t bound : {left, left + 1, left - 1, left / 2, std::uint64_t{0}}) {
      const std::vector<maker::CopyCandidate> bounded =
          maker::FindCovers(c.source, c.target, {}, maker::kCoverBlock, bound);
      EXPECT_EQ(bounded, bound >= left ? covers : std::vector<maker::CopyCandidate>{})
          << c.name << ", " << bound;
    }
  }
}

TEST(BlockCover, PatchesRebuildTheTargetCostNoMoreThanTheEditsAndIgnoreTheThreadCount) {
  for (const Case& c : Cases()) {
    MakerOptions options;
    options.threads = 1;
    const Bytes patch = MakeInMemory(c.source, c.target, options);
    EXPECT_EQ(ApplyInMemory(patch, c.source), c.target) << c.name;
    if (c.script_cost != 0) {
      EXPECT_LE(patch.size(), c.script_cost) << c.name;
    }
    if (c.name == "nothing shared") {
      // A literal run per stretch the parse takes at once.
      const std::uint64_t segments = c.target.size() / (512 << 10) + 1;
      EXPECT_LE(patch.size(), kFrame + LiteralCost(c.target.size()) + 5 * segments);
    }
    for (unsigned threads : {2u, 4u}) {
      options.threads = threads;
      EXPECT_EQ(MakeInMemory(c.source, c.target, options), patch) << c.name << ", threads " << threads;
    }
  }
}

TEST(BlockCover, NothingSharedBuildsNoIndex) {
  std::mt19937 random(7);
  const Bytes source = Random(random, 2 << 20);
  const Bytes target = Random(random, 2 << 20);
  testing::MemorySink sink;
  const MakerReport report = MakePatch(source, target, {}, sink);
  EXPECT_EQ(report.index_memory, 0u);
}

}  // namespace
}  // namespace varnock
