// Guards against a host's read callback whose failure, early end or short
// count is lost or crashes, against a source cache that changes the target
// with its size, and against inputs read by ranges beyond what the call says.
#include <gtest/gtest.h>

#include <random>

#include "api/ApiSupport.h"

namespace varnock {
namespace {

using testing::Bytes;
using testing::TempDir;

constexpr std::size_t kBlock = 256 << 10;

// An input in memory whose callback misbehaves once `good_calls` calls went well.
struct FaultyInput {
  const Bytes* bytes;
  int good_calls;
  std::int64_t fault;  // what the callback returns then; 0 is an early end
  int calls = 0;

  static std::int64_t Read(void* self, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
    auto& input = *static_cast<FaultyInput*>(self);
    if (input.calls++ >= input.good_calls) return input.fault;
    std::copy_n(input.bytes->begin() + static_cast<std::ptrdiff_t>(offset), size, buffer);
    return static_cast<std::int64_t>(size);
  }
};

// A source of three blocks and a bit, and a target that copies all of it
// twice over, each copy longer than a cache of one block and spanning blocks.
struct LargeCase {
  Bytes source = testing::Pattern(3 * kBlock + 1000, 5);
  Bytes target;
  Bytes patch;
  LargeCase() {
    const Bytes literal = testing::Pattern(5000, 6);
    target.insert(target.end(), source.begin() + 1000, source.end());
    target.insert(target.end(), literal.begin(), literal.end());
    target.insert(target.end(), source.begin(), source.end());
    patch = testing::BuildPatchFor(
        source, target,
        {testing::Copy(0xFE, 1000, source.size() - 1000), testing::LongLiteral(0xF7, literal.size(), literal),
         testing::Copy(0xFE, 0, source.size())});
  }
};

const LargeCase& Large() {
  static const LargeCase large;
  return large;
}

class ApplyRanges : public ::testing::Test {
 protected:
  testing::Outcome Apply(FaultyInput& source, FaultyInput& patch) {
    testing::Outcome outcome{0, {}, {}};
    outcome.code = varnock_apply_ranges(context_.get(), FaultyInput::Read, &source, source.bytes->size(),
                                        FaultyInput::Read, &patch, patch.bytes->size(), testing::AppendTo,
                                        &outcome.target);
    outcome.message = varnock_error_message(context_.get());
    return outcome;
  }

  testing::Context context_ = testing::NewContext();
};

TEST_F(ApplyRanges, ACallbackThatFailsOrEndsEarlyIsAnErrorWithAPrefixOfTheTarget) {
  // With one block of cache, the source is read during the checksum's pass
  // (4 calls) and again while the target is written.
  ASSERT_EQ(varnock_set_source_cache(context_.get(), 1), VARNOCK_OK);
  constexpr char kShortSource[] = "Input file \"<source>\" was shortened while it was being read";
  constexpr char kShortPatch[] = "Input file \"<patch>\" was shortened while it was being read";
  struct Case {
    const char* name;
    bool source_fails;
    int good_calls;
    std::int64_t fault;
    std::int32_t code;
    const char* message;
  };
  const Case cases[] = {
      {"source fails at once", true, 0, -1, VARNOCK_ERROR_READ, "Stream read error"},
      {"source ends at once", true, 0, 0, VARNOCK_ERROR_INPUT_SHORTENED, kShortSource},
      {"source fails while written", true, 6, -5, VARNOCK_ERROR_READ, "Stream read error"},
      {"source ends while written", true, 6, 0, VARNOCK_ERROR_INPUT_SHORTENED, kShortSource},
      {"source hands more than asked", true, 6, std::int64_t{1} << 40, VARNOCK_ERROR_READ,
       "Stream read error"},
      {"patch fails at its head", false, 0, -1, VARNOCK_ERROR_READ, "Stream read error"},
      {"patch ends in its instructions", false, 1, 0, VARNOCK_ERROR_INPUT_SHORTENED, kShortPatch},
      {"patch fails in its instructions", false, 1, -1, VARNOCK_ERROR_READ, "Stream read error"},
  };
  for (const Case& error : cases) {
    SCOPED_TRACE(error.name);
    FaultyInput source{&Large().source, error.source_fails ? error.good_calls : 1 << 30, error.fault};
    FaultyInput patch{&Large().patch, error.source_fails ? 1 << 30 : error.good_calls, error.fault};
    const testing::Outcome outcome = Apply(source, patch);
    EXPECT_EQ(outcome.code, error.code) << varnock_code_name(outcome.code);
    EXPECT_EQ(outcome.message, error.message);
    ASSERT_LT(outcome.target.size(), Large().target.size());
    EXPECT_TRUE(std::equal(outcome.target.begin(), outcome.target.end(), Large().target.begin()));
    // Only a source that fails after the checksum's pass leaves bytes behind.
    EXPECT_EQ(outcome.target.empty(), error.good_calls == 0 || !error.source_fails);
  }
}

TEST_F(ApplyRanges, ShortCountsAndEveryCacheSizeGiveTheSameTarget) {
  for (const std::size_t cache :
       {std::size_t{0}, std::size_t{1}, kBlock, 2 * kBlock - 1, 3 * kBlock, 100 * kBlock}) {
    for (const std::size_t longest_read :
         {std::size_t{1000}, std::size_t{77777}, static_cast<std::size_t>(-1)}) {
      SCOPED_TRACE(::testing::Message() << "cache " << cache << ", reads of " << longest_read);
      ASSERT_EQ(varnock_set_source_cache(context_.get(), cache), VARNOCK_OK);
      const testing::Outcome outcome =
          testing::ApplyRanges(context_.get(), Large().source, Large().patch, longest_read);
      EXPECT_EQ(outcome.code, VARNOCK_OK) << outcome.message;
      EXPECT_TRUE(outcome.target == Large().target);
    }
  }
}

TEST_F(ApplyRanges, RandomPatchesAgreeWithTheMappedFilesWhateverTheCache) {
  std::mt19937 random(16);
  TempDir directory;
  ASSERT_EQ(varnock_set_input_access(context_.get(), VARNOCK_INPUTS_MAPPED), VARNOCK_OK);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    // Copies of random lengths from random places of a source of several blocks.
    const Bytes source =
        testing::Pattern(std::uniform_int_distribution<std::size_t>(1, 5 * kBlock)(random), round);
    Bytes stream, target;
    for (int i = 0; i < 30; ++i) {
      const std::size_t longest = source.size() / (i % 5 == 0 ? 1 : 50);
      const std::size_t length = std::uniform_int_distribution<std::size_t>(0, longest)(random);
      const std::size_t offset =
          std::uniform_int_distribution<std::size_t>(0, source.size() - length)(random);
      const Bytes copy = testing::Copy(0xFE, offset, length);
      stream.insert(stream.end(), copy.begin(), copy.end());
      target.insert(target.end(), source.begin() + static_cast<std::ptrdiff_t>(offset),
                    source.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }
    // Every other target's checksum is wrong: both ways say so alike.
    testing::PatchFields fields;
    fields.source_crc = Crc32(source);
    fields.target_crc = Crc32(target) ^ (round % 2);
    const Bytes patch = testing::BuildPatch(fields, {stream});
    const testing::Outcome mapped = testing::ApplyFiles(context_.get(), directory, source, patch);
    const std::size_t cache = std::uniform_int_distribution<std::size_t>(1, 6 * kBlock)(random);
    ASSERT_EQ(varnock_set_source_cache(context_.get(), cache), VARNOCK_OK);
    const testing::Outcome ranges = testing::ApplyRanges(
        context_.get(), source, patch, std::uniform_int_distribution<std::size_t>(1, 1 << 21)(random));
    EXPECT_EQ(ranges.code, round % 2 == 0 ? VARNOCK_OK : VARNOCK_ERROR_TARGET_CHECKSUM);
    EXPECT_EQ(ranges.code, mapped.code);
    EXPECT_EQ(ranges.message, mapped.message);
    EXPECT_TRUE(ranges.target == target);
    EXPECT_TRUE(mapped.target == target);
  }
}

TEST_F(ApplyRanges, BadArgumentsAndInputsOf4GiBAreRefused) {
  testing::RangedBytes input{&Large().source};
  Bytes target;
  struct Case {
    const char* name;
    varnock_read_fn read_source;
    std::uint64_t source_size;
    varnock_read_fn read_patch;
    std::uint64_t patch_size;
    varnock_write_fn write;
    std::int32_t code;
  };
  const std::uint64_t k4GiB = std::uint64_t{1} << 32;
  const Case cases[] = {
      {"no source callback", nullptr, 10, testing::RangedBytes::Read, 10, testing::AppendTo,
       VARNOCK_ERROR_BAD_ARGUMENT},
      {"no patch callback", testing::RangedBytes::Read, 10, nullptr, 10, testing::AppendTo,
       VARNOCK_ERROR_BAD_ARGUMENT},
      {"no write callback", testing::RangedBytes::Read, 10, testing::RangedBytes::Read, 10, nullptr,
       VARNOCK_ERROR_BAD_ARGUMENT},
      {"source of 4 GiB", testing::RangedBytes::Read, k4GiB, testing::RangedBytes::Read, 10,
       testing::AppendTo, VARNOCK_ERROR_TOO_LARGE},
      {"patch of 4 GiB", testing::RangedBytes::Read, 10, testing::RangedBytes::Read, k4GiB, testing::AppendTo,
       VARNOCK_ERROR_TOO_LARGE},
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.name);
    EXPECT_EQ(varnock_apply_ranges(context_.get(), bad.read_source, &input, bad.source_size, bad.read_patch,
                                   &input, bad.patch_size, bad.write, &target),
              bad.code);
    EXPECT_TRUE(target.empty());
  }
  EXPECT_STREQ(
      varnock_error_message(context_.get()),
      "The patch is 4294967296 bytes long; inputs read by ranges are below 4 GiB (4294967296 bytes)");
  EXPECT_EQ(varnock_set_source_cache(nullptr, 0), VARNOCK_ERROR_BAD_ARGUMENT);
}

}  // namespace
}  // namespace varnock
