// Guards against a C++ layer that loses a failure's code or message, or that
// lets its progress function run on after it said stop.
#include <gtest/gtest.h>

#include "api/ApiSupport.h"
#include "varnock.hpp"

namespace {

using varnock::testing::Bytes;

const Bytes& Source() {
  static const Bytes source = varnock::testing::Pattern(3 << 20, 11);
  return source;
}

TEST(CppLayer, ApplyRebuildsTheTargetAndFailuresCarryCodeAndMessage) {
  varnock::Context context;
  const Bytes target = Source();
  const Bytes patch =
      varnock::testing::BuildPatchFor(Source(), target, {varnock::testing::Copy(0xFE, 0, target.size())});
  EXPECT_EQ(context.Apply(Source(), patch), target);
  try {
    context.Apply(target, Bytes{1, 2});
    FAIL() << "no error";
  } catch (const varnock::Error& error) {
    EXPECT_EQ(error.Code(), VARNOCK_ERROR_NO_HEADER);
    EXPECT_STREQ(error.what(), "Patch file contains no header.");
  }
  std::uint64_t stages_seen = 0;
  context.SetProgress([&](std::int32_t stage, std::uint64_t, std::uint64_t) {
    stages_seen |= 1u << stage;
    return stage != VARNOCK_STAGE_WRITING;
  });
  try {
    context.Apply(Source(), patch);
    FAIL() << "no error";
  } catch (const varnock::Error& error) {
    EXPECT_EQ(error.Code(), VARNOCK_ERROR_CANCELLED);
  }
  EXPECT_EQ(stages_seen, (1u << VARNOCK_STAGE_CHECKSUM) | (1u << VARNOCK_STAGE_WRITING));
}

TEST(CppLayer, ApplyRangesReadsBothWaysAndThrowsWhatTheReadThrows) {
  varnock::Context context;
  context.SetSourceCache(1);
  // Pieces of the source from its end back, so that each block is read anew.
  Bytes target, stream;
  for (std::size_t from = Source().size() - 1000; from >= 1000; from -= 1000) {
    const Bytes copy = varnock::testing::Copy(0xFE, from, 1000);
    stream.insert(stream.end(), copy.begin(), copy.end());
    target.insert(target.end(), Source().begin() + static_cast<std::ptrdiff_t>(from),
                  Source().begin() + static_cast<std::ptrdiff_t>(from + 1000));
  }
  varnock::testing::PatchFields fields;
  fields.source_crc = varnock::Crc32(Source());
  fields.target_crc = varnock::Crc32(target);
  const Bytes patch = varnock::testing::BuildPatch(fields, {stream});
  const varnock::ReadFunction read_source = [](std::uint64_t offset, std::span<std::uint8_t> buffer) {
    const std::size_t count = std::min<std::size_t>(buffer.size(), 4000);  // short counts
    std::copy_n(Source().begin() + static_cast<std::ptrdiff_t>(offset), count, buffer.begin());
    return count;
  };
  Bytes written;
  const varnock::WriteFunction append = [&](varnock::ByteView piece) {
    written.insert(written.end(), piece.begin(), piece.end());
  };
  context.ApplyRanges(Source().size(), read_source, patch, append);
  EXPECT_TRUE(written == target);

  written.clear();
  try {
    context.ApplyRanges(
        Source().size(),
        [](std::uint64_t, std::span<std::uint8_t>) -> std::size_t {
          throw std::runtime_error("host's own failure");
        },
        patch, append);
    FAIL() << "no error";
  } catch (const varnock::Error& error) {
    EXPECT_EQ(error.Code(), VARNOCK_ERROR_READ);
    EXPECT_STREQ(error.what(), "Stream read error");
  }
  EXPECT_TRUE(written.empty());
}

Bytes EditedTarget() {
  Bytes target = Source();
  target.erase(target.begin() + 1000, target.begin() + 5000);
  target.insert(target.begin() + 200000, {'n', 'e', 'w'});
  return target;
}

TEST(CppLayer, AMadePatchAppliesInMemory) {
  varnock::Context context;
  const Bytes target = EditedTarget();
  const Bytes patch = context.Make(Source(), target);
  EXPECT_LT(patch.size(), 10000u);
  EXPECT_EQ(context.Apply(Source(), patch), target);
}

}  // namespace
