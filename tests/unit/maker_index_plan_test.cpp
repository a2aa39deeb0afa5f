// Guards against an index choice that depends on more than the inputs' sizes,
// breaks the memory bound the manual gives at a width boundary (1 GiB, 2 GiB,
// 4 GiB - 1), ignores what the machine can give, or cannot reach a copy from
// past 2 GiB of the source.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/mman.h>
#endif

#include <algorithm>
#include <bit>
#include <random>

#include "common/Errors.h"
#include "make/IndexPlan.h"
#include "make/Maker.h"
#include "make/index/SourceIndex.h"
#include "support/MakerHarness.h"

namespace varnock {
namespace {

using maker::IndexKind;
using testing::ApplyInMemory;
using testing::Bytes;
using testing::MakeInMemory;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
constexpr std::uint64_t kLargestInput = 0xFFFFFFFF;

// The manual's bound on what a run holds besides the inputs, the index aside.
std::uint64_t ManualWorking(std::uint64_t target) {
  return 8 * std::min<std::uint64_t>(target, 512 * 1024) + 24 * std::min(target, kMiB) + 2 * kMiB;
}

TEST(IndexPlan, DefaultDependsOnTheSourceSizeAndKeepsTheManualsBound) {
  struct Case {
    std::uint64_t source;
    IndexKind kind;
  } cases[] = {{1000, IndexKind::kSuffix},      {64 * kMiB - 1, IndexKind::kSuffix},
               {64 * kMiB, IndexKind::kSuffix}, {kGiB - 1, IndexKind::kSuffix},
               {kGiB, IndexKind::kSampled},     {2 * kGiB - 1, IndexKind::kSampled},
               {2 * kGiB, IndexKind::kSampled}, {kLargestInput, IndexKind::kSampled}};
  for (const Case& c : cases) {
    for (const std::uint64_t target : {std::uint64_t{0}, 100 * kMiB, c.source, kLargestInput}) {
      const maker::IndexPlan plan = maker::DefaultPlan(c.source, target);
      EXPECT_EQ(plan.kind, c.kind) << c.source;
      // The largest power of two no more than S / 16, within 256 KiB to 64 MiB.
      const std::uint64_t buckets =
          std::clamp<std::uint64_t>(std::bit_floor(c.source / 16), 256 * 1024, 64 * kMiB);
      // The suffix index's figure also holds the covers, a byte a target byte.
      const std::uint64_t index =
          c.kind == IndexKind::kSuffix ? 35 * c.source / 8 + 8 + buckets + target : 2 * c.source;
      EXPECT_LE(plan.memory, index + ManualWorking(target)) << c.source << " " << target;
      // The large pairs' goal: the inputs and the run within 2 (S + T) + 64 MiB.
      if (c.kind == IndexKind::kSampled && target >= c.source) {
        EXPECT_LE(c.source + target + plan.memory, 2 * (c.source + target) + 64 * kMiB) << c.source;
      }
    }
  }
}

TEST(IndexPlan, SuffixArrayRanksWidenAtTwoGibibytes) {
  const std::uint64_t buckets = 64 * kMiB + 4;
  // The filter: 3 bits a position, in whole 8-byte words.
  const std::uint64_t filter = 3 * (2 * kGiB) / 8;
  EXPECT_EQ(maker::SuffixIndexMemory(2 * kGiB - 1), 4 * (2 * kGiB - 1) + filter + buckets + 2 * 0x10000);
  EXPECT_EQ(maker::SuffixIndexMemory(2 * kGiB), 8 * (2 * kGiB) + filter + buckets + 2 * 0x10000);
  // So a limit that buys the suffix array below 2 GiB buys a sampled table above it.
  const std::uint64_t limit = 11 * kGiB;
  EXPECT_EQ(maker::PlanWithin(2 * kGiB - 1, kMiB, limit).kind, IndexKind::kSuffix);
  EXPECT_EQ(maker::PlanWithin(2 * kGiB, kMiB, limit).kind, IndexKind::kSampled);
}

TEST(IndexPlan, ALimitBuysTheMostThoroughIndexThatFits) {
  for (const std::uint64_t source : {std::uint64_t{5000}, 300 * kMiB, 3 * kGiB, kLargestInput}) {
    std::uint64_t previous = 0;
    for (std::uint64_t limit = kMiB; limit <= 64 * kGiB; limit *= 2) {
      const maker::IndexPlan plan = maker::PlanWithin(source, source, limit);
      EXPECT_LE(plan.memory, std::max(limit, MakerLeastMemory(source, source))) << source << " " << limit;
      EXPECT_GE(plan.memory, previous) << source << " " << limit;
      if (plan.kind == IndexKind::kSuffix) {
        EXPECT_EQ(plan, maker::PlanOfKind(IndexKind::kSuffix, source, source));
      }
      previous = plan.memory;
    }
  }
}

// Below the default level each level halves the sampled index, from 2 S at
// level 8, whatever the source's size; a level's plan is the size's alone.
TEST(IndexPlan, EachLevelDownHalvesTheIndex) {
  for (const std::uint64_t source : {std::uint64_t{5000}, 300 * kMiB, 3 * kGiB, kLargestInput}) {
    EXPECT_EQ(maker::PlanOfLevel(kDefaultMakerLevel, source, kMiB), maker::DefaultPlan(source, kMiB));
    const std::uint64_t working = MakerWorkingMemory(kMiB);
    for (unsigned level = kLowestMakerLevel; level < kDefaultMakerLevel; ++level) {
      const maker::IndexPlan plan = maker::PlanOfLevel(level, source, kMiB);
      const std::uint64_t budget = (2 * source) >> (kDefaultMakerLevel - 1 - level);
      EXPECT_EQ(plan.kind, IndexKind::kSampled) << source << " level " << level;
      EXPECT_LE(plan.memory - working, std::max(budget, maker::kLeastSampledIndexMemory)) << source;
      EXPECT_GT(2 * (plan.memory - working), std::min(budget, maker::SampledIndexMemory(source, 4 * source)))
          << source << " level " << level;
    }
  }
}

Bytes Random(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// The same source with a few bytes changed here and there.
Bytes Edited(Bytes bytes, std::uint32_t seed) {
  std::mt19937 random(seed);
  for (int i = 0; i < 50; ++i) bytes[random() % bytes.size()] ^= 0x41;
  return bytes;
}

TEST(MachineMemory, ADefaultIndexTooLargeForTheMachineGivesWayToASmallerOne) {
  const Bytes source = Random(1 << 20, 1);
  const Bytes target = Edited(source, 2);
  const std::uint64_t needed = maker::DefaultPlan(source.size(), target.size()).memory;
  const std::uint64_t smallest = MakerLeastMemory(source.size(), target.size());
  struct Case {
    std::optional<std::uint64_t> available;
    bool too_small;
  } cases[] = {{std::nullopt, false},
               {needed, false},
               {needed - 1, true},
               {(smallest + needed) / 2, true},
               {smallest, true}};
  const Bytes chosen = MakeInMemory(source, target, {});
  for (const Case& c : cases) {
    MakerOptions options;
    options.available_memory = c.available;
    testing::MemorySink sink;
    const MakerReport report = MakePatch(source, target, options, sink);
    EXPECT_EQ(report.machine_too_small, c.too_small) << c.available.value_or(0);
    EXPECT_FALSE(report.used_small_index);
    if (c.too_small) {
      EXPECT_EQ(report.memory_needed, needed);
      EXPECT_EQ(report.memory_available, *c.available);
      EXPECT_LE(report.index_memory + MakerWorkingMemory(target.size()), *c.available);
    } else {
      EXPECT_EQ(sink.bytes, chosen) << "the same bytes whenever the machine is large enough";
    }
    EXPECT_EQ(ApplyInMemory(sink.bytes, source), target);
  }
  // A limit decides alone, whatever the machine.
  MakerOptions limited;
  limited.memory_limit = (smallest + needed) / 2;
  const Bytes on_a_large_machine = MakeInMemory(source, target, limited);
  limited.available_memory = MakerLeastMemory(source.size(), target.size());
  EXPECT_EQ(MakeInMemory(source, target, limited), on_a_large_machine);
}

TEST(MachineMemory, TooLittleForEvenTheSmallestIndexIsRefusedWithTheFigure) {
  const Bytes source = Random(100000, 3);
  MakerOptions options;
  options.available_memory = MakerLeastMemory(source.size(), source.size()) - 1;
  testing::MemorySink sink;
  try {
    MakePatch(source, source, options, sink);
    ADD_FAILURE() << "not refused";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Kind(), ErrorKind::kOutOfMemory);
    const std::string needed =
        std::to_string((maker::DefaultPlan(source.size(), source.size()).memory + kMiB - 1) / kMiB) + " MiB";
    EXPECT_NE(error.Message().find(needed), std::string::npos) << error.Message();
  }
  EXPECT_TRUE(sink.bytes.empty());
}

#ifndef _WIN32  // address space reserved without memory behind it: mmap's
// A source of 4 GiB - 1 bytes, untouched pages of zeros but for a stretch of
// random bytes past 3.5 GiB; the target is that stretch and a few fresh bytes.
// The copy's offset needs all 32 bits.
TEST(WideSource, ACopyFromPastTwoGibibytesRoundTrips) {
  if constexpr (sizeof(void*) < 8) GTEST_SKIP() << "no room for a 4 GiB source";
  void* mapping = mmap(nullptr, kLargestInput, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) GTEST_SKIP() << "no address space for a 4 GiB source";
  auto* source = static_cast<std::uint8_t*>(mapping);
  const Bytes marked = Random(1 << 20, 4);
  const std::uint64_t at = 3 * kGiB + kGiB / 2 + 12345;
  std::copy(marked.begin(), marked.end(), source + at);
  Bytes target = Random(100, 5);
  target.insert(target.end(), marked.begin(), marked.end());
  MakerOptions options;
  options.memory_limit = 64 * kMiB;  // a small sampled table: the default's would be 4 GiB
  const ByteSpan wide(source, kLargestInput);
  testing::MemorySink sink;
  const MakerReport report = MakePatch(wide, target, options, sink);
  EXPECT_LT(report.patch_size, 1000u);
  EXPECT_EQ(ApplyInMemory(sink.bytes, wide), target);
  munmap(mapping, kLargestInput);
}
#endif

}  // namespace
}  // namespace varnock
