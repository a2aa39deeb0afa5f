// Guards against a maker whose patch does not rebuild the target, depends on
// the thread count, or costs more than the obvious way to write the target.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "make/IndexPlan.h"
#include "make/Maker.h"
#include "make/encode/ContainerEncoder.h"
#include "make/encode/PatchEncoder.h"
#include "make/index/SourceIndex.h"
#include "support/MakerHarness.h"

namespace varnock {
namespace {

using testing::ApplyInMemory;
using testing::Bytes;
using testing::MakeInMemory;

// Header, signature and stop instruction.
constexpr std::uint64_t kFrame = 12 + 5 + 1;

class Generator {
 public:
  explicit Generator(std::uint32_t seed) : random_(seed) {}

  std::uint64_t Below(std::uint64_t bound) { return bound == 0 ? 0 : random_() % bound; }

  // Binary bytes with some structure (runs, a small alphabet) or text of a
  // small vocabulary, so that repeats abound as in real files.
  Bytes Content(std::size_t size, bool text) {
    static const std::vector<std::string> kWords = {
        "the ", "patch ", "source ", "target\n", "copy ", "literal ", "a ", "of ", "=", "{\n", "}\n", "int "};
    Bytes out;
    while (out.size() < size) {
      if (text) {
        const std::string& word = kWords[Below(kWords.size())];
        out.insert(out.end(), word.begin(), word.end());
      } else if (Below(8) == 0) {
        out.insert(out.end(), 1 + Below(40), static_cast<std::uint8_t>(Below(256)));
      } else {
        out.push_back(static_cast<std::uint8_t>(Below(4) == 0 ? Below(4) : Below(256)));
      }
    }
    out.resize(size);
    return out;
  }

  // The source edited by a random script: kept stretches, deletions,
  // insertions, moves from anywhere, repeats of the target so far, and
  // stretches with scattered changed bytes.
  Bytes Edit(const Bytes& source, bool text) {
    Bytes target;
    std::size_t cursor = 0;
    const std::size_t steps = 1 + Below(60);
    for (std::size_t step = 0; step < steps; ++step) {
      const std::size_t length = 1 + Below(Below(4) == 0 ? 20000 : 300);
      switch (Below(6)) {
        case 0:  // keep
        case 1: {
          const std::size_t kept = std::min(length, source.size() - cursor);
          target.insert(target.end(), source.begin() + cursor, source.begin() + cursor + kept);
          cursor += kept;
          break;
        }
        case 2:  // delete
          cursor = std::min(source.size(), cursor + length);
          break;
        case 3: {  // insert
          const Bytes inserted = Content(length, text);
          target.insert(target.end(), inserted.begin(), inserted.end());
          break;
        }
        case 4: {  // move, or repeat what the target already holds
          const Bytes& from = Below(3) == 0 && !target.empty() ? Bytes(target) : source;
          const std::size_t at = Below(from.size());
          const std::size_t moved = std::min(length, from.size() - at);
          target.insert(target.end(), from.begin() + at, from.begin() + at + moved);
          break;
        }
        default: {  // changed here and there
          const std::size_t kept = std::min(length, source.size() - cursor);
          const std::size_t first = target.size();
          target.insert(target.end(), source.begin() + cursor, source.begin() + cursor + kept);
          for (std::size_t i = first; i < target.size(); i += 1 + Below(64)) target[i] ^= 0x5A;
          cursor += kept;
        }
      }
    }
    return target;
  }

 private:
  std::mt19937 random_;
};

struct Pair {
  std::string name;
  Bytes source;
  Bytes target;
};

std::vector<Pair> Pairs() {
  std::vector<Pair> pairs;
  Generator generator(20261207);
  for (int i = 0; i < 40; ++i) {
    const bool text = i % 2 == 1;
    Bytes source = generator.Content(generator.Below(i < 4 ? 50 : 200000), text);
    Bytes target = generator.Edit(source, text);
    pairs.push_back({"edited " + std::to_string(i), std::move(source), std::move(target)});
  }
  const Bytes some = generator.Content(70000, false);
  pairs.push_back({"both empty", {}, {}});
  pairs.push_back({"empty source", {}, some});
  pairs.push_back({"empty target", some, {}});
  pairs.push_back({"identical", some, some});
  pairs.push_back({"nothing in common", generator.Content(70000, true), some});
  pairs.push_back({"one byte each", {7}, {7}});
  // Past several matching chunks and parse segments.
  Bytes large_source = generator.Content(1 << 20, false);
  Bytes large_target = generator.Edit(large_source, false);
  for (int i = 0; i < 3; ++i)
    large_target.insert(large_target.end(), large_source.begin(), large_source.end());
  pairs.push_back({"large", std::move(large_source), std::move(large_target)});
  return pairs;
}

MakerOptions WithThreads(unsigned threads, MakerOptions::Index index = MakerOptions::Index::kChosen) {
  MakerOptions options;
  options.threads = threads;
  options.index = index;
  return options;
}

// Every index the maker can build, each forced, and the one it takes on a
// machine too small for the default index.
std::vector<MakerOptions> EveryIndex(const Pair& pair) {
  MakerOptions small_machine;
  const std::uint64_t smallest = MakerLeastMemory(pair.source.size(), pair.target.size());
  small_machine.available_memory =
      smallest + (maker::DefaultPlan(pair.source.size(), pair.target.size()).memory - smallest) / 2;
  std::vector<MakerOptions> every{WithThreads(0, MakerOptions::Index::kSuffix),
                                  WithThreads(0, MakerOptions::Index::kSampled), small_machine};
  // Levels differ only in the sampled index's size: the lowest, one between
  // and the highest below the default.
  for (unsigned level : {kLowestMakerLevel, 5u, kDefaultMakerLevel - 1}) {
    every.push_back(WithThreads(0));
    every.back().level = level;
  }
  // Parsed for a container, after covers and after the sampled index.
  for (MakerOptions::Index index : {MakerOptions::Index::kChosen, MakerOptions::Index::kSampled}) {
    every.push_back(WithThreads(0, index));
    every.back().container = true;
  }
  return every;
}

TEST(MakerRoundTrip, EveryModeRebuildsTheTarget) {
  MakerOptions compressible;
  compressible.compressible = true;
  for (const Pair& pair : Pairs()) {
    MakerOptions small_index;
    small_index.memory_limit = MakerLeastMemory(pair.source.size(), pair.target.size());
    std::vector<MakerOptions> modes = EveryIndex(pair);
    modes.insert(modes.end(), {WithThreads(1), WithThreads(2), compressible, small_index});
    for (const MakerOptions& options : modes) {
      const Bytes patch = MakeInMemory(pair.source, pair.target, options);
      EXPECT_EQ(ApplyInMemory(patch, pair.source), pair.target)
          << pair.name << ", threads " << options.threads << ", compressible " << options.compressible
          << ", memory limit " << options.memory_limit << ", index " << static_cast<int>(options.index)
          << ", machine " << options.available_memory.value_or(0) << ", level " << options.level
          << ", container " << options.container;
    }
  }
}

TEST(MakerRoundTrip, PatchIsTheSameWhateverTheThreadCount) {
  for (const Pair& pair : Pairs()) {
    for (const MakerOptions& index : EveryIndex(pair)) {
      MakerOptions options = index;
      options.threads = 1;
      const Bytes one_thread = MakeInMemory(pair.source, pair.target, options);
      for (unsigned threads : {2u, 3u, 8u}) {
        options.threads = threads;
        EXPECT_EQ(MakeInMemory(pair.source, pair.target, options), one_thread)
            << pair.name << ", " << threads << " threads, index " << static_cast<int>(index.index)
            << ", level " << index.level << ", container " << index.container;
      }
    }
  }
}

// Whatever it finds, the parse never does worse than carrying the whole
// target as literals.
TEST(MakerRoundTrip, PatchIsNeverLargerThanTheLiteralTarget) {
  for (const Pair& pair : Pairs()) {
    const std::uint64_t segments = pair.target.size() / (1 << 20) + 1;
    EXPECT_LE(MakeInMemory(pair.source, pair.target).size(),
              kFrame + LiteralCost(pair.target.size()) + 5 * segments)
        << pair.name;
  }
}

// A target assembled from long stretches of a random source (each found in
// one place only) and fresh bytes: the patch costs no more than the script
// that assembled it, written instruction by instruction.
TEST(MakerRoundTrip, PatchCostsNoMoreThanTheAssemblingScript) {
  std::mt19937 random(42);
  for (int round = 0; round < 20; ++round) {
    Bytes source(300000);
    for (std::uint8_t& byte : source) byte = static_cast<std::uint8_t>(random());
    Bytes target;
    std::uint64_t script_cost = kFrame;
    for (int step = 0; step < 50; ++step) {
      const std::size_t length = 32 + random() % 3000;
      if (random() % 3 == 0) {
        for (std::size_t i = 0; i < length; ++i) target.push_back(static_cast<std::uint8_t>(random()));
        script_cost += LiteralCost(length);
      } else {
        const std::size_t at = random() % (source.size() - length);
        target.insert(target.end(), source.begin() + at, source.begin() + at + length);
        script_cost += CopyCost(at, length);
      }
    }
    const Bytes patch = MakeInMemory(source, target);
    EXPECT_LE(patch.size(), script_cost) << "round " << round;
    EXPECT_EQ(ApplyInMemory(patch, source), target);
  }
}

// Code moved as a new build moves it: stretches kept, dropped or inserted,
// and within kept ones 32-bit fields (addresses, offsets) every few bytes
// moved by the stretch's own amount.
Bytes Relocate(Generator& generator, const Bytes& source) {
  Bytes target;
  for (std::size_t at = 0; at < source.size();) {
    const std::size_t length = std::min<std::size_t>(500 + generator.Below(5000), source.size() - at);
    switch (generator.Below(5)) {
      case 0:
        at += length;
        continue;
      case 1: {
        const Bytes inserted = generator.Content(1 + generator.Below(200), false);
        target.insert(target.end(), inserted.begin(), inserted.end());
        break;
      }
      default:
        break;
    }
    const std::size_t first = target.size();
    target.insert(target.end(), source.begin() + at, source.begin() + at + length);
    const auto shift = static_cast<std::uint32_t>(1 + generator.Below(0x10000));
    for (std::size_t field = first + generator.Below(16); field + 4 <= target.size();
         field += 6 + generator.Below(20)) {
      std::uint32_t value = 0;
      for (int i = 3; i >= 0; --i) value = value << 8 | target[field + i];
      value += shift;
      for (int i = 0; i < 4; ++i) target[field + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    at += length;
  }
  return target;
}

// The parse aimed at a container writes a stretch that almost matches as one
// run on its diagonal, where the raw parse jumps to wherever a few bytes
// happen to match: its container is smaller there, and never larger
// elsewhere, where each segment goes out the way that compresses better.
TEST(MakerForContainer, TheContainerIsSmallerWhereTheTargetAlmostMatchesAndNeverLarger) {
  Generator generator(23);
  for (int round = 0; round < 12; ++round) {
    const bool relocated = round < 6;
    const bool text = !relocated && round % 2 == 1;
    const Bytes source = generator.Content(100000 + generator.Below(300000), text);
    const Bytes target = relocated ? Relocate(generator, source) : generator.Edit(source, text);
    MakerOptions options;
    options.compressible = round % 2 == 0;
    options.index = round % 3 == 2 ? MakerOptions::Index::kSampled : MakerOptions::Index::kChosen;
    const Bytes raw_aimed = MakeInMemory(source, target, options);
    options.container = true;
    const Bytes container_aimed = MakeInMemory(source, target, options);
    EXPECT_EQ(ApplyInMemory(container_aimed, source), target) << "round " << round;
    const std::size_t before = container::EncodeContainer(raw_aimed, source, 1).size();
    const std::size_t after = container::EncodeContainer(container_aimed, source, 1).size();
    if (relocated)
      EXPECT_LT(after, before) << "round " << round;
    else
      EXPECT_LE(after, before) << "round " << round;
  }
}

TEST(ProgressReport, StagesComeInOrderAndCountUpToTheirTotal) {
  Generator generator(7);
  const Bytes source = generator.Content(600000, false);
  const Bytes target = generator.Edit(source, false);
  std::vector<std::pair<Stage, std::uint64_t>> calls;
  // The maker's stages in the order it goes through them.
  const auto order = [](Stage stage) {
    const Stage stages[] = {Stage::kIndexing, Stage::kMatching, Stage::kWriting, Stage::kVerifying};
    return std::find(std::begin(stages), std::end(stages), stage) - std::begin(stages);
  };
  MakeInMemory(source, target, WithThreads(2), [&](Stage stage, std::uint64_t done, std::uint64_t total) {
    ASSERT_LE(done, total);
    ASSERT_LT(order(stage), 4);
    if (!calls.empty() && calls.back().first == stage) {
      EXPECT_GE(done, calls.back().second);
    } else {
      EXPECT_TRUE(calls.empty() || order(stage) > order(calls.back().first));
    }
    calls.emplace_back(stage, done);
  });
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front().first, Stage::kIndexing);
  EXPECT_EQ(calls.back(), std::make_pair(Stage::kWriting, std::uint64_t{1}));
}

TEST(ProgressReport, AnExceptionFromTheCallbackCancels) {
  Generator generator(8);
  const Bytes source = generator.Content(600000, false);
  struct Cancelled {};
  for (Stage cancelled_at : {Stage::kIndexing, Stage::kMatching, Stage::kWriting}) {
    testing::MemorySink sink;
    EXPECT_THROW(MakePatch(source, source, WithThreads(2), sink,
                           [&](Stage stage, std::uint64_t, std::uint64_t) {
                             if (stage == cancelled_at) throw Cancelled{};
                           }),
                 Cancelled);
  }
}

TEST(MakerMemory, ALimitBelowTheSuffixIndexSwitchesToTheSampledOne) {
  Generator generator(9);
  const Bytes source = generator.Content(400000, false);
  const Bytes target = generator.Edit(source, false);
  const std::uint64_t index_and_working = 5 * source.size() + MakerWorkingMemory(target.size());
  struct Case {
    std::uint64_t limit;
    bool small;
  } cases[] = {{0, false},
               {index_and_working + (1 << 20), false},
               {(index_and_working + MakerWorkingMemory(target.size())) / 2, true},
               {MakerLeastMemory(source.size(), target.size()), true}};
  for (const Case& c : cases) {
    MakerOptions options;
    options.memory_limit = c.limit;
    testing::MemorySink sink;
    const MakerReport report = MakePatch(source, target, options, sink);
    EXPECT_EQ(report.used_small_index, c.small) << c.limit;
    // The sampled index takes what the limit leaves, but never less than 64 KiB.
    const std::uint64_t working = MakerWorkingMemory(target.size());
    if (c.small) {
      EXPECT_LE(report.index_memory,
                std::max<std::uint64_t>(c.limit > working ? c.limit - working : 0, 1 << 16));
    }
    EXPECT_EQ(ApplyInMemory(sink.bytes, source), target) << c.limit;
  }
}

// Each level down takes half the index of the one above, down to the
// smallest table, and its patch still rebuilds the target; a level outside 1
// to 9 is refused before any work.
TEST(MakerLevel, EachLevelDownHalvesTheIndexAndOthersAreRefused) {
  Generator generator(15);
  const Bytes source = generator.Content(1 << 20, false);
  const Bytes target = generator.Edit(source, false);
  std::uint64_t above = 0;
  for (unsigned level = kDefaultMakerLevel; level >= kLowestMakerLevel; --level) {
    MakerOptions options;
    options.level = level;
    testing::MemorySink sink;
    const MakerReport report = MakePatch(source, target, options, sink);
    EXPECT_EQ(ApplyInMemory(sink.bytes, source), target) << "level " << level;
    if (level < kDefaultMakerLevel - 1) {
      EXPECT_EQ(report.index_memory, std::max(above / 2, maker::kLeastSampledIndexMemory))
          << "level " << level;
    } else if (level == kDefaultMakerLevel - 1) {
      EXPECT_EQ(report.index_memory, 2 * source.size()) << "level " << level;
    }
    above = report.index_memory;
  }
  for (unsigned level : {0u, kDefaultMakerLevel + 1}) {
    MakerOptions options;
    options.level = level;
    testing::MemorySink sink;
    try {
      MakePatch(source, target, options, sink);
      ADD_FAILURE() << "level " << level << " was taken";
    } catch (const Exception& error) {
      EXPECT_EQ(error.Kind(), ErrorKind::kBadArgument) << level;
    }
  }
}

TEST(MakerMemory, ALimitBelowTheLeastIsRefusedNamingTheLeast) {
  const Bytes tiny(7, 'x');
  const Bytes large(3 << 20, 'y');
  struct Case {
    std::uint64_t source_size;
    std::uint64_t target_size;
    std::uint64_t least;
  } cases[] = {
      // Nothing to match: the encoder's buffer alone.
      {7, 3 << 20, 1 << 20},
      {3 << 20, 7, 1 << 20},
      // The parse of a segment, the candidates of two, the buffer, the smallest index.
      {3 << 20, 3 << 20, 8 * ((512 << 10) + 1) + 24 * (1 << 20) + (1 << 20) + (64 << 10)},
      {100, 100, 8 * 101 + 24 * 100 + (1 << 20) + (64 << 10)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MakerLeastMemory(c.source_size, c.target_size), c.least);
    const ByteSpan source = ByteSpan(c.source_size == 7 ? tiny : large).first(c.source_size);
    const ByteSpan target = ByteSpan(c.target_size == 7 ? tiny : large).first(c.target_size);
    for (std::uint64_t limit : {std::uint64_t{1}, c.least - 1}) {
      MakerOptions options;
      options.memory_limit = limit;
      testing::MemorySink sink;
      try {
        MakePatch(source, target, options, sink);
        ADD_FAILURE() << "a limit of " << limit << " below " << c.least << " was taken";
      } catch (const Exception& error) {
        EXPECT_EQ(error.Kind(), ErrorKind::kBadArgument);
        EXPECT_NE(error.Message().find(" " + std::to_string(c.least) + " bytes"), std::string::npos)
            << error.Message();
      }
      EXPECT_TRUE(sink.bytes.empty()) << "no work before the refusal";
    }
    MakerOptions least;
    least.memory_limit = c.least;
    EXPECT_EQ(ApplyInMemory(MakeInMemory(source, target, least), source),
              Bytes(target.begin(), target.end()));
  }
}

}  // namespace
}  // namespace varnock
