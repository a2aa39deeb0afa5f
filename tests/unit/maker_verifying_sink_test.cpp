// Guards against a patch checked as it streams (to standard output, a pipe)
// being judged otherwise than the same patch checked whole, for any cut of
// the patch into pieces, on every truncation and every changed byte; and
// against it passing on bytes it has not checked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Errors.h"
#include "make/PatchVerifier.h"
#include "support/PatchBuilder.h"

namespace varnock {
namespace {

using testing::BuildPatchFor;
using testing::Bytes;
using testing::Copy;
using testing::LongLiteral;
using testing::ShortLiteral;
using testing::ToBytes;

constexpr char kPrefix[] = "The patch made does not rebuild the target: ";

class CollectingSink : public PatchSink {
 public:
  Bytes bytes;
  void Write(ByteSpan piece) override { bytes.insert(bytes.end(), piece.begin(), piece.end()); }
};

// "" when the check passes, else its message.
template <typename Check>
std::string Outcome(Check&& check) {
  try {
    check();
  } catch (const Exception& error) {
    return error.Message();
  }
  return "";
}

std::string WholeOutcome(const Bytes& patch, const Bytes& source, const Bytes& target) {
  return Outcome([&] { VerifyPatch(patch, source, target); });
}

// Streams `patch` in pieces that end at `cuts`; what reached the output
// must be a prefix of the patch, the whole of it on success.
std::string StreamedOutcome(const Bytes& patch, const Bytes& source, const Bytes& target,
                            const std::vector<std::size_t>& cuts) {
  CollectingSink output;
  const std::string outcome = Outcome([&] {
    VerifyingSink sink(output, source, target);
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
      sink.Write(ByteSpan(patch).subspan(from, cut - from));
      from = cut;
    }
    sink.Write(ByteSpan(patch).subspan(from));
    sink.Finish();
  });
  EXPECT_TRUE(std::equal(output.bytes.begin(), output.bytes.end(), patch.begin()));
  if (outcome.empty()) {
    EXPECT_EQ(output.bytes, patch);
  }
  return outcome;
}

const Bytes kSource = [] {
  Bytes source;
  for (int i = 0; i < 400; ++i) source.push_back(static_cast<std::uint8_t>(i * 7 + i / 256));
  return source;
}();

// A target rebuilt by every kind of instruction: a short literal, copies of
// each width, a literal-16 and a literal-32.
const Bytes kLong16(300, 'x');
const Bytes kLong32(40, 'y');
const Bytes kTarget = [] {
  Bytes target = ToBytes("head");
  target.insert(target.end(), kSource.begin() + 10, kSource.begin() + 60);
  target.insert(target.end(), kLong16.begin(), kLong16.end());
  target.insert(target.end(), kSource.begin() + 300, kSource.begin() + 320);
  target.insert(target.end(), kLong32.begin(), kLong32.end());
  target.insert(target.end(), kSource.begin(), kSource.begin() + 9);
  return target;
}();
const Bytes kPatch =
    BuildPatchFor(kSource, kTarget,
                  {ShortLiteral(ToBytes("head")), Copy(0xF9, 10, 50), LongLiteral(0xF7, 300, kLong16),
                   Copy(0xFE, 300, 20), LongLiteral(0xF8, 40, kLong32), Copy(0xFC, 0, 9)});

TEST(VerifyingSink, PassesThePatchInAnyTwoPiecesAndByteByByte) {
  ASSERT_EQ(WholeOutcome(kPatch, kSource, kTarget), "");
  for (std::size_t cut = 0; cut <= kPatch.size(); ++cut) {
    EXPECT_EQ(StreamedOutcome(kPatch, kSource, kTarget, {cut}), "") << "cut at " << cut;
  }
  std::vector<std::size_t> every_byte;
  for (std::size_t at = 1; at < kPatch.size(); ++at) every_byte.push_back(at);
  EXPECT_EQ(StreamedOutcome(kPatch, kSource, kTarget, every_byte), "");
}

TEST(VerifyingSink, JudgesEveryTruncationAndEveryChangedByteAsTheWholeCheckDoes) {
  std::vector<Bytes> faulty;
  for (std::size_t length = 0; length < kPatch.size(); ++length)
    faulty.emplace_back(kPatch.begin(), kPatch.begin() + static_cast<std::ptrdiff_t>(length));
  for (std::size_t at = 0; at < kPatch.size(); ++at) {
    for (std::uint8_t value : {0x00, 0x01, 0x80, 0xF7, 0xF8, 0xFE, 0xFF}) {
      Bytes changed = kPatch;
      if (changed[at] == value) continue;
      changed[at] = value;
      faulty.push_back(std::move(changed));
    }
  }
  Bytes extra = kPatch;
  extra.push_back(0);
  faulty.push_back(extra);
  for (const Bytes& patch : faulty) {
    const std::string whole = WholeOutcome(patch, kSource, kTarget);
    ASSERT_NE(whole, "");
    for (std::size_t cut : {std::size_t{0}, patch.size() / 3, patch.size() / 2, patch.size()}) {
      const std::string streamed = StreamedOutcome(patch, kSource, kTarget, {cut});
      // The applicator refuses a literal that runs past the patch's end
      // before writing it; a stream, whose end is not known yet, reads on
      // and fails at the first fault it meets there. Otherwise the same.
      if (whole == kPrefix + std::string("Unexpected end of patch file")) {
        EXPECT_TRUE(streamed.starts_with(kPrefix)) << streamed;
      } else {
        EXPECT_EQ(streamed, whole) << "patch of " << patch.size() << " bytes, cut at " << cut;
      }
    }
  }
}

}  // namespace
}  // namespace varnock
