// Guards against a C++ layer that loses a failure's code or message, or that
// lets its progress function run on after it said stop.
#include <gtest/gtest.h>

#include "tests/api/ApiSupport.h"
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
