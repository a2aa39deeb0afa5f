// Guards against a verifier that lets through a patch the applicator would
// refuse or that rebuilds anything but the target.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "make/PatchVerifier.h"
#include "support/ErrorMatch.h"
#include "support/PatchBuilder.h"

namespace varnock {
namespace {

using testing::BuildPatch;
using testing::BuildPatchFor;
using testing::Bytes;
using testing::Copy;
using testing::RaisesError;
using testing::ShortLiteral;
using testing::ToBytes;

constexpr char kPrefix[] = "The patch made does not rebuild the target: ";

const Bytes kSource = ToBytes("0123456789abcdefghijklmnopqrstuvwxyz");
const Bytes kTarget = ToBytes("new:abcdefghij:end");
// "new:" literal, "abcdefghij" copied from offset 10, ":end" literal.
const Bytes kHead = ShortLiteral(ToBytes("new:"));
const Bytes kMiddle = Copy(0xF9, 10, 10);
const Bytes kTail = ShortLiteral(ToBytes(":end"));

TEST(VerifyPatch, AcceptsThePatchThatRebuildsTheTarget) {
  EXPECT_NO_THROW(VerifyPatch(BuildPatchFor(kSource, kTarget, {kHead, kMiddle, kTail}), kSource, kTarget));
  EXPECT_NO_THROW(VerifyPatch(BuildPatchFor(kSource, {}, {}), kSource, {}));
}

TEST(VerifyPatch, RefusesEveryPatchThatDoesNot) {
  testing::PatchFields wrong_source;
  wrong_source.source_crc = Crc32(kTarget);
  wrong_source.target_crc = Crc32(kTarget);
  testing::PatchFields wrong_target = wrong_source;
  wrong_target.source_crc = Crc32(kSource);
  wrong_target.target_crc = Crc32(kSource);
  const Bytes good = BuildPatchFor(kSource, kTarget, {kHead, kMiddle, kTail});
  const struct {
    const char* label;
    Bytes patch;
    std::string fault;
  } cases[] = {
      {"another byte in a literal",
       BuildPatchFor(kSource, kTarget, {kHead, kMiddle, ShortLiteral(ToBytes(":emd"))}),
       "it makes a different byte at offset 16"},
      {"a copy from the wrong place", BuildPatchFor(kSource, kTarget, {kHead, Copy(0xF9, 11, 10), kTail}),
       "it makes a different byte at offset 4"},
      {"a run missing", BuildPatchFor(kSource, kTarget, {kHead, kMiddle}),
       "it makes 14 bytes of the target's 18"},
      {"a run too many", BuildPatchFor(kSource, kTarget, {kHead, kMiddle, kTail, kTail}),
       "it makes more bytes than the target has"},
      {"another source's checksum", BuildPatch(wrong_source, {kHead, kMiddle, kTail}),
       "Source file checksum don't match"},
      {"another target's checksum", BuildPatch(wrong_target, {kHead, kMiddle, kTail}),
       "its target checksum is not the target's"},
      {"no stop instruction", Bytes(good.begin(), good.end() - 1), "Unexpected end of patch file"},
      {"a copy past the source", BuildPatchFor(kSource, kTarget, {kHead, Copy(0xF9, 30, 10), kTail}),
       "Seek beyond source file end. Instruction at 22"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(RaisesError([&] { VerifyPatch(c.patch, kSource, kTarget); }, kPrefix + c.fault)) << c.label;
  }
}

TEST(VerifyPatch, ReportsTheWholeTargetAndLetsACancellationThrough) {
  std::vector<std::uint64_t> done;
  VerifyPatch(BuildPatchFor(kSource, kTarget, {kHead, kMiddle, kTail}), kSource, kTarget,
              [&](MakerStage stage, std::uint64_t at, std::uint64_t total) {
                EXPECT_EQ(stage, MakerStage::kVerifying);
                EXPECT_EQ(total, kTarget.size());
                done.push_back(at);
              });
  ASSERT_FALSE(done.empty());
  EXPECT_EQ(done.front(), 0u);
  EXPECT_EQ(done.back(), kTarget.size());

  const Bytes large(std::size_t{20} << 20, 'x');
  const Bytes large_patch = BuildPatchFor({}, large, {testing::LongLiteral(0xF8, large.size(), large)});
  int calls = 0;
  EXPECT_TRUE(RaisesError(
      [&] {
        VerifyPatch(large_patch, {}, large, [&](MakerStage, std::uint64_t, std::uint64_t) {
          if (++calls == 2) throw Exception("cancelled");
        });
      },
      "cancelled"));
}

}  // namespace
}  // namespace varnock
