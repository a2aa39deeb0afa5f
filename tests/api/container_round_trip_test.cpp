// Guards against a container, an .xz or a .zst patch that does not rebuild
// its target through every apply call, against a damaged one that crashes,
// reads out of bounds (under the sanitizers) or rebuilds anything but the
// right target: every truncation and a spread of flipped bytes; and the same
// for executables of every kind, whose containers predict from the source.
#include <gtest/gtest.h>
#include <lzma.h>
#include <zstd.h>

#include "api/ApiSupport.h"
#include "support/ExePairs.h"

namespace varnock {
namespace {

using testing::Bytes;

struct Pair {
  Bytes source;
  Bytes target;
};

// A target made of the source with the edits a new build shows: inserted and
// deleted stretches, moved blocks, and runs of near-matches (a byte in four
// changed, as addresses are when code moves).
Pair MakePair(std::uint32_t seed, std::size_t size) {
  std::uint32_t state = seed;
  auto next = [&](std::uint32_t bound) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % bound;
  };
  Pair pair;
  pair.source = testing::Pattern(size, seed);
  for (std::size_t at = 0; at < pair.source.size();) {
    const std::size_t run = std::min<std::size_t>(1 + next(4000), pair.source.size() - at);
    switch (next(5)) {
      case 0: {  // inserted
        const Bytes inserted = testing::Pattern(next(300), state);
        pair.target.insert(pair.target.end(), inserted.begin(), inserted.end());
        break;
      }
      case 1:  // deleted
        at += run;
        continue;
      case 2:  // near-matching
        for (std::size_t k = 0; k < run; ++k) {
          pair.target.push_back(static_cast<std::uint8_t>(pair.source[at + k] + (k % 4 == 0 ? 3 : 0)));
        }
        at += run;
        continue;
      default:
        break;
    }
    pair.target.insert(pair.target.end(), pair.source.begin() + static_cast<std::ptrdiff_t>(at),
                       pair.source.begin() + static_cast<std::ptrdiff_t>(at + run));
    at += run;
  }
  return pair;
}

// Every way of applying; each must rebuild `target` or fail, the same way.
void ExpectEveryWay(varnock_context* context, const Bytes& source, const Bytes& patch, const Bytes& target,
                    std::int32_t expected_code) {
  testing::TempDir directory;
  const testing::Outcome outcomes[] = {
      testing::ApplyMemory(context, source, patch),
      testing::ApplyToBuffer(context, source, patch, target.size()),
      testing::ApplyRanges(context, source, patch, 777),
      testing::ApplyFiles(context, directory, source, patch),
  };
  for (const testing::Outcome& outcome : outcomes) {
    EXPECT_EQ(outcome.code, expected_code) << outcome.message;
    if (outcome.code == VARNOCK_OK) {
      EXPECT_TRUE(outcome.target == target);
    }
  }
}

TEST(ContainerRoundTrip, ContainersXzAndZstdRebuildTheTargetEveryWay) {
  auto context = testing::NewContext();
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(seed);
    const Pair pair = MakePair(seed, seed == 6 ? 3000000 : 20000 + 30000 * seed);
    const Bytes raw = testing::MakeMemory(context.get(), pair.source, pair.target, false);
    const Bytes container = testing::MakeMemory(context.get(), pair.source, pair.target, true);
    EXPECT_LT(container.size(), raw.size());
    for (const Bytes& patch : {container, testing::XzOf(raw), testing::ZstdOf(raw)}) {
      ExpectEveryWay(context.get(), pair.source, patch, pair.target, VARNOCK_OK);
      // A wrong source is refused as it is with a raw patch.
      ExpectEveryWay(context.get(), pair.target, patch, pair.target, VARNOCK_ERROR_SOURCE_CHECKSUM);
    }
    varnock_patch_info info{};
    ASSERT_EQ(
        varnock_inspect_patch(context.get(), container.data(), container.size(), VARNOCK_INFO_HEADER, &info),
        VARNOCK_OK);
    EXPECT_EQ(info.kind, VARNOCK_KIND_CONTAINER);
    EXPECT_EQ(info.source_size, pair.source.size());
    EXPECT_EQ(info.target_size, pair.target.size());
    varnock_patch_info raw_info{};
    ASSERT_EQ(varnock_inspect_patch(context.get(), raw.data(), raw.size(), VARNOCK_INFO_SCAN, &raw_info),
              VARNOCK_OK);
    // The container holds a patch parsed for it, not the raw one: its counts
    // are its own, but they still add up to the target.
    ASSERT_EQ(
        varnock_inspect_patch(context.get(), container.data(), container.size(), VARNOCK_INFO_SCAN, &info),
        VARNOCK_OK)
        << varnock_error_message(context.get());
    EXPECT_EQ(info.bytes_copied + info.bytes_carried, pair.target.size());
    EXPECT_EQ(info.target_size, pair.target.size());
    for (const Bytes& patch : {testing::XzOf(raw), testing::ZstdOf(raw)}) {
      ASSERT_EQ(varnock_inspect_patch(context.get(), patch.data(), patch.size(), VARNOCK_INFO_SCAN, &info),
                VARNOCK_OK)
          << varnock_error_message(context.get());
      EXPECT_EQ(info.copies, raw_info.copies);
      EXPECT_EQ(info.bytes_carried, raw_info.bytes_carried);
      EXPECT_EQ(info.target_size, pair.target.size());
    }
  }
}

// Applied from memory, the quickest way; the other ways share its decoder.
void ExpectNoWrongSuccess(varnock_context* context, const Pair& pair, const Bytes& patch) {
  const testing::Outcome outcome = testing::ApplyMemory(context, pair.source, patch);
  if (outcome.code == VARNOCK_OK) {
    EXPECT_TRUE(outcome.target == pair.target);
  }
}

TEST(ContainerRoundTrip, DamagedContainersFailCleanlyOrRebuildTheTarget) {
  auto context = testing::NewContext();
  const Pair pair = MakePair(21, 40000);
  const Bytes container = testing::MakeMemory(context.get(), pair.source, pair.target, true);
  for (std::size_t cut = 0; cut < container.size(); ++cut) {
    const testing::Outcome outcome =
        testing::ApplyMemory(context.get(), pair.source, Bytes(container.begin(), container.begin() + cut));
    // Too short to be told a container, it is a raw patch that is no patch.
    EXPECT_NE(outcome.code, VARNOCK_OK) << cut;
  }
  std::int32_t damaged = 0;
  for (std::size_t at = 0; at < container.size(); ++at) {
    for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
      Bytes broken = container;
      broken[at] ^= flip;
      const testing::Outcome outcome = testing::ApplyMemory(context.get(), pair.source, broken);
      if (outcome.code == VARNOCK_OK) {
        EXPECT_TRUE(outcome.target == pair.target) << at;
      } else if (outcome.code == VARNOCK_ERROR_CONTAINER_DAMAGED) {
        ++damaged;
        EXPECT_EQ(outcome.message.rfind("Damaged patch container: ", 0), 0u);
      }
    }
  }
  EXPECT_GT(damaged, 0);
  for (const Bytes& patch :
       {testing::XzOf(testing::MakeMemory(context.get(), pair.source, pair.target, false)),
        testing::ZstdOf(testing::MakeMemory(context.get(), pair.source, pair.target, false))}) {
    for (std::size_t at = 0; at < patch.size(); at += 1 + patch.size() / 200) {
      Bytes broken = patch;
      broken[at] ^= 0x55;
      ExpectNoWrongSuccess(context.get(), pair, broken);
      ExpectNoWrongSuccess(context.get(), pair,
                           Bytes(patch.begin(), patch.begin() + static_cast<std::ptrdiff_t>(at)));
    }
  }
}

// The ranged apply reads the source through its callback, in short reads
// here, for the prediction as for the copies.
TEST(ContainerRoundTrip, ExecutablesOfEveryKindRebuildTheirNewerVersionEveryWay) {
  auto context = testing::NewContext();
  const std::vector<testing::ExePair> pairs = testing::ReadExePairs();
  ASSERT_EQ(pairs.size(), std::size(testing::kExeFixtureNames));
  int predicting = 0;
  for (const testing::ExePair& exe : pairs) {
    SCOPED_TRACE(exe.name);
    const Pair pair{exe.older, exe.newer};
    const Bytes container = testing::MakeMemory(context.get(), pair.source, pair.target, true);
    ASSERT_GT(container.size(), 8u);
    predicting += container[8] == 2;
    ExpectEveryWay(context.get(), pair.source, container, pair.target, VARNOCK_OK);
    const testing::Outcome byte_by_byte = testing::ApplyRanges(context.get(), pair.source, container, 1);
    EXPECT_EQ(byte_by_byte.code, VARNOCK_OK) << byte_by_byte.message;
    EXPECT_TRUE(byte_by_byte.target == pair.target);
    ExpectEveryWay(context.get(), pair.target, container, pair.target, VARNOCK_ERROR_SOURCE_CHECKSUM);
  }
  // Which kinds predict, the unit tests say; most do.
  EXPECT_GE(predicting, 4);
}

// What a predicted block's decoding adds (the source parsed, the copies
// learnt, references re-encoded) meets damage too.
TEST(ContainerRoundTrip, DamagedPredictingContainersFailCleanlyOrRebuildTheTarget) {
  auto context = testing::NewContext();
  for (const testing::ExePair& exe : testing::ReadExePairs()) {
    SCOPED_TRACE(exe.name);
    const Pair pair{exe.older, exe.newer};
    const Bytes container = testing::MakeMemory(context.get(), pair.source, pair.target, true);
    for (std::size_t cut = 0; cut < container.size(); ++cut) {
      const Bytes cut_short(container.begin(), container.begin() + static_cast<std::ptrdiff_t>(cut));
      EXPECT_NE(testing::ApplyMemory(context.get(), pair.source, cut_short).code, VARNOCK_OK) << cut;
    }
    for (std::size_t at = 0; at < container.size(); ++at) {
      for (std::uint8_t flip : {0x01, 0x80}) {
        Bytes broken = container;
        broken[at] ^= flip;
        ExpectNoWrongSuccess(context.get(), pair, broken);
      }
    }
  }
}

}  // namespace
}  // namespace varnock
