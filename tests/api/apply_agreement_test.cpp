// Guards against ways of applying that disagree with one another, against a
// call that shares state with another thread's call, against a maker whose
// patch does not rebuild its target, and against the maker's refusals and
// progress breaking the header's promises.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <thread>

#include "api/ApiSupport.h"

namespace varnock {
namespace {

using testing::Bytes;
using testing::TempDir;

// A random patch for a random source: copies from anywhere in the source
// (some long enough to skip the gathering buffer), literals of every opcode.
struct RandomCase {
  Bytes source;
  Bytes target;
  Bytes patch;
};

RandomCase MakeRandomCase(std::uint32_t seed) {
  RandomCase random;
  std::uint32_t state = seed;
  auto next = [&](std::uint32_t bound) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % bound;
  };
  random.source = testing::Pattern(300000 + next(100000), seed);
  testing::PatchFields fields;
  fields.source_crc = Crc32(random.source);
  Bytes stream;
  const int instructions = 1 + static_cast<int>(next(60));
  for (int i = 0; i < instructions; ++i) {
    Bytes instruction;
    if (next(2) == 0) {
      const std::uint32_t length = next(4) == 0 ? 130000 + next(100000) : next(300);
      const std::uint32_t offset = next(static_cast<std::uint32_t>(random.source.size()) - length);
      const std::uint8_t opcode = length > 0xFFFF ? 0xFE : offset > 0xFFFF ? 0xFD : 0xFA;
      instruction = testing::Copy(opcode, offset, length);
      random.target.insert(random.target.end(), random.source.begin() + offset,
                           random.source.begin() + offset + length);
    } else {
      const Bytes literal = testing::Pattern(1 + next(600), state);
      instruction = literal.size() <= 0xF6
                        ? testing::ShortLiteral(literal)
                        : testing::LongLiteral(next(2) ? 0xF7 : 0xF8, literal.size(), literal);
      random.target.insert(random.target.end(), literal.begin(), literal.end());
    }
    stream.insert(stream.end(), instruction.begin(), instruction.end());
  }
  fields.target_crc = Crc32(random.target);
  random.patch = testing::BuildPatch(fields, {stream});
  return random;
}

TEST(ApplyAgreement, FilesMemoryAndBufferGiveTheSameTarget) {
  testing::Context context = testing::NewContext();
  TempDir directory;
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    const RandomCase random = MakeRandomCase(seed);
    std::uint64_t size = 0;
    ASSERT_EQ(varnock_target_size(context.get(), random.source.data(), random.source.size(),
                                  random.patch.data(), random.patch.size(), &size),
              VARNOCK_OK);
    EXPECT_EQ(size, random.target.size());
    const std::vector<testing::Outcome> outcomes = {
        testing::ApplyMemory(context.get(), random.source, random.patch),
        testing::ApplyToBuffer(context.get(), random.source, random.patch, size),
        testing::ApplyFiles(context.get(), directory, random.source, random.patch),
        testing::ApplyRanges(context.get(), random.source, random.patch)};
    for (const testing::Outcome& outcome : outcomes) {
      EXPECT_EQ(outcome.code, VARNOCK_OK) << outcome.message;
      EXPECT_TRUE(outcome.target == random.target);
    }
  }
}

TEST(ApplyAgreement, TwoThreadsApplyTwoPatchesAtOnce) {
  const RandomCase cases[2] = {MakeRandomCase(101), MakeRandomCase(202)};
  TempDir directory;
  for (int i = 0; i < 2; ++i) {
    directory.Write("source" + std::to_string(i), cases[i].source);
    directory.Write("patch" + std::to_string(i), cases[i].patch);
    directory.Write("wanted" + std::to_string(i), cases[i].target);
  }
  // A run that goes wrong in each thread, too: errors are kept per context.
  Bytes broken = cases[1].patch;
  broken[0] ^= 1;
  bool agreed[2] = {false, false};
  auto apply = [&](int i) {
    testing::Context context = testing::NewContext();
    std::uint64_t reports = 0;
    varnock_set_progress(
        context.get(),
        [](void* count, std::int32_t, std::uint64_t, std::uint64_t) {
          ++*static_cast<std::uint64_t*>(count);
          return 0;
        },
        &reports);
    const std::string index = std::to_string(i);
    bool all_agree = true;
    for (int round = 0; round < 5; ++round) {
      const std::string target = directory.File("target" + index);
      all_agree &= varnock_apply_files(context.get(), directory.File("source" + index).c_str(),
                                       target.c_str(), directory.File("patch" + index).c_str()) == VARNOCK_OK;
      all_agree &= TempDir::Read(target) == cases[i].target;
      all_agree &=
          testing::ApplyMemory(context.get(), cases[i].source, cases[i].patch).target == cases[i].target;
      all_agree &= testing::ApplyMemory(context.get(), cases[i].source, broken).code != VARNOCK_OK;
      all_agree &= std::string(varnock_error_message(context.get())) != "";
      varnock_make_options replace{};
      replace.replace_existing = 1;
      replace.threads = 1;
      const std::string made = directory.File("made" + index);
      all_agree &=
          varnock_make_files(context.get(), directory.File("source" + index).c_str(),
                             directory.File("wanted" + index).c_str(), made.c_str(), &replace) == VARNOCK_OK;
      all_agree &=
          testing::ApplyMemory(context.get(), cases[i].source, TempDir::Read(made)).target == cases[i].target;
    }
    agreed[i] = all_agree && reports > 0;
  };
  std::thread first(apply, 0), second(apply, 1);
  first.join();
  second.join();
  EXPECT_TRUE(agreed[0]);
  EXPECT_TRUE(agreed[1]);
}

TEST(MakeAgreement, AMadePatchRebuildsItsTarget) {
  testing::Context context = testing::NewContext();
  // Each stage the maker goes through, with the counts it was told last.
  struct LastOfStage {
    std::vector<std::array<std::uint64_t, 3>> stages;  // stage, done, total
    static std::int32_t Callback(void* self, std::int32_t stage, std::uint64_t done, std::uint64_t total) {
      auto& stages = static_cast<LastOfStage*>(self)->stages;
      if (stages.empty() || stages.back()[0] != static_cast<std::uint64_t>(stage)) stages.push_back({});
      stages.back() = {static_cast<std::uint64_t>(stage), done, total};
      return 0;
    }
  };
  for (std::uint32_t seed = 1; seed <= 5; ++seed) {
    SCOPED_TRACE(seed);
    const RandomCase random = MakeRandomCase(seed);
    LastOfStage progress;
    varnock_set_progress(context.get(), LastOfStage::Callback, &progress);
    Bytes patch;
    std::uint64_t patch_size = 0;
    varnock_make_options options{};
    options.threads = 1;
    ASSERT_EQ(
        varnock_make_memory(context.get(), random.source.data(), random.source.size(), random.target.data(),
                            random.target.size(), &options, testing::AppendTo, &patch, &patch_size),
        VARNOCK_OK)
        << varnock_error_message(context.get());
    EXPECT_EQ(patch_size, patch.size());
    varnock_set_progress(context.get(), nullptr, nullptr);
    EXPECT_EQ(testing::ApplyMemory(context.get(), random.source, patch).target, random.target);
    std::vector<std::uint64_t> stages;
    for (const auto& [stage, done, total] : progress.stages) {
      stages.push_back(stage);
      EXPECT_EQ(done, total) << "stage " << stage;
    }
    EXPECT_EQ(stages, (std::vector<std::uint64_t>{VARNOCK_STAGE_INDEXING, VARNOCK_STAGE_MATCHING,
                                                  VARNOCK_STAGE_WRITING}));
  }
  // A host that says stop at the first report stops the maker.
  const RandomCase random = MakeRandomCase(9);
  varnock_set_progress(
      context.get(), [](void*, std::int32_t, std::uint64_t, std::uint64_t) { return 1; }, nullptr);
  Bytes ignored;
  EXPECT_EQ(
      varnock_make_memory(context.get(), random.source.data(), random.source.size(), random.target.data(),
                          random.target.size(), nullptr, testing::AppendTo, &ignored, nullptr),
      VARNOCK_ERROR_CANCELLED);
  EXPECT_STREQ(varnock_error_message(context.get()), "Cancelled");
  varnock_make_options bad{};
  bad.reserved[1] = 1;
  EXPECT_EQ(
      varnock_make_memory(context.get(), nullptr, 0, nullptr, 0, &bad, testing::AppendTo, &ignored, nullptr),
      VARNOCK_ERROR_BAD_ARGUMENT);
}

// The level reaches the maker: 0 and 9 make the same patch, every level a
// patch that rebuilds the target, and one outside 0 to 9 is refused.
TEST(MakeAgreement, TheLevelIsTheMakersAndOthersAreRefused) {
  testing::Context context = testing::NewContext();
  const RandomCase random = MakeRandomCase(11);
  auto make = [&](std::int32_t level, Bytes& patch) {
    varnock_make_options options{};
    options.level = level;
    return varnock_make_memory(context.get(), random.source.data(), random.source.size(),
                               random.target.data(), random.target.size(), &options, testing::AppendTo,
                               &patch, nullptr);
  };
  Bytes by_default;
  ASSERT_EQ(make(0, by_default), VARNOCK_OK) << varnock_error_message(context.get());
  for (std::int32_t level = 1; level <= 9; ++level) {
    Bytes patch;
    ASSERT_EQ(make(level, patch), VARNOCK_OK) << level << ": " << varnock_error_message(context.get());
    EXPECT_EQ(testing::ApplyMemory(context.get(), random.source, patch).target, random.target) << level;
    if (level == 9) {
      EXPECT_EQ(patch, by_default);
    }
  }
  for (std::int32_t level : {-1, 10}) {
    Bytes ignored;
    EXPECT_EQ(make(level, ignored), VARNOCK_ERROR_BAD_ARGUMENT) << level;
    EXPECT_EQ(std::string(varnock_error_message(context.get())),
              "Bad argument: the level " + std::to_string(level) + " is not one of 1 to 9");
  }
}

// Every VARNOCK_ERROR_BAD_ARGUMENT reads "Bad argument: <what>", the maker's
// refusals too, which keep what they tell after the prefix.
TEST(MakeAgreement, AMemoryLimitBelowTheLeastIsABadArgumentNamingTheLeast) {
  testing::Context context = testing::NewContext();
  TempDir directory;
  const RandomCase random = MakeRandomCase(12);
  const std::string source = directory.Write("source", random.source);
  const std::string target = directory.Write("target", random.target);
  varnock_make_options options{};
  options.memory_limit = 1 << 20;
  Bytes ignored;
  const std::int32_t codes[] = {
      varnock_make_memory(context.get(), random.source.data(), random.source.size(), random.target.data(),
                          random.target.size(), &options, testing::AppendTo, &ignored, nullptr),
      varnock_make_files(context.get(), source.c_str(), target.c_str(), directory.File("patch").c_str(),
                         &options)};
  for (const std::int32_t code : codes) {
    EXPECT_EQ(code, VARNOCK_ERROR_BAD_ARGUMENT);
  }
  const std::string message = varnock_error_message(context.get());
  const std::string prefix =
      "Bad argument: the memory limit of 1048576 bytes is below the least the maker needs for these inputs: ";
  EXPECT_EQ(message.substr(0, prefix.size()), prefix) << message;
  EXPECT_TRUE(message.ends_with("K)")) << message;
}

// The maker's stages each begin at 0, whichever of its threads comes first.
TEST(MakeAgreement, EveryStageOfTheMakerIsToldFirstAtZero) {
  testing::Context context = testing::NewContext();
  TempDir directory;
  Bytes source = testing::Pattern(3 << 20, 21), target = source;
  for (std::size_t i = 0; i < target.size(); i += 4099) target[i] ^= 0x5A;
  const std::string source_file = directory.Write("source", source);
  const std::string target_file = directory.Write("target", target);
  struct FirstOfStage {
    std::vector<std::pair<std::int32_t, std::uint64_t>> first;  // stage, done
    static std::int32_t Callback(void* self, std::int32_t stage, std::uint64_t done, std::uint64_t) {
      auto& first = static_cast<FirstOfStage*>(self)->first;
      if (first.empty() || first.back().first != stage) first.emplace_back(stage, done);
      return 0;
    }
  };
  varnock_make_options options{};
  options.threads = 2;
  options.replace_existing = 1;
  for (int run = 0; run < 6; ++run) {
    SCOPED_TRACE(run);
    FirstOfStage progress;
    varnock_set_progress(context.get(), FirstOfStage::Callback, &progress);
    Bytes patch;
    ASSERT_EQ(run % 2 == 0 ? varnock_make_memory(context.get(), source.data(), source.size(), target.data(),
                                                 target.size(), &options, testing::AppendTo, &patch, nullptr)
                           : varnock_make_files(context.get(), source_file.c_str(), target_file.c_str(),
                                                directory.File("patch").c_str(), &options),
              VARNOCK_OK)
        << varnock_error_message(context.get());
    ASSERT_GE(progress.first.size(), 3u);
    for (const auto& [stage, done] : progress.first) {
      EXPECT_EQ(done, 0u) << "stage " << stage;
    }
  }
}

TEST(MakeAgreement, APatchFileIsMadeVerifiedAndNeverReplacedUnasked) {
  testing::Context context = testing::NewContext();
  TempDir directory;
  const RandomCase random = MakeRandomCase(7);
  const std::string source = directory.Write("source", random.source);
  const std::string target = directory.Write("target", random.target);
  const std::string patch = directory.File("patch");
  varnock_make_options replace{};
  replace.replace_existing = 1;
  struct Case {
    const char* name;
    const char* patch;
    const varnock_make_options* options;
    std::int32_t code;
  };
  const std::vector<Case> cases = {
      {"new patch", patch.c_str(), nullptr, VARNOCK_OK},
      {"existing patch", patch.c_str(), nullptr, VARNOCK_ERROR_PATCH_EXISTS},
      {"existing patch, replaced", patch.c_str(), &replace, VARNOCK_OK},
      {"patch over an input", source.c_str(), &replace, VARNOCK_ERROR_CANNOT_CREATE},
      {"standard output", "-", nullptr, VARNOCK_ERROR_BAD_ARGUMENT},
  };
  for (const Case& make : cases) {
    SCOPED_TRACE(make.name);
    EXPECT_EQ(varnock_make_files(context.get(), source.c_str(), target.c_str(), make.patch, make.options),
              make.code)
        << varnock_error_message(context.get());
    EXPECT_EQ(TempDir::Read(source), random.source);
  }
  EXPECT_EQ(testing::ApplyMemory(context.get(), random.source, TempDir::Read(patch)).target, random.target);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.Path()), {}),
            3);  // no temporary file left
}

}  // namespace
}  // namespace varnock
