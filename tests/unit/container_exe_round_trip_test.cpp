// Guards the predicting container on executables of every kind the
// prediction knows: a container that does not decode back to the patch it
// carries, a carried patch that does not rebuild the newer version, bytes
// that depend on the thread count, a kind on which nothing is predicted any
// more, or a container the prediction makes larger than the first version's.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "apply/ContainerDecoder.h"
#include "format/ByteOrder.h"
#include "io/InputRanges.h"
#include "make/encode/ContainerEncoder.h"
#include "support/ExePairs.h"
#include "support/MakerHarness.h"

namespace varnock::container {
namespace {

using testing::ExePair;

// The raw patch `box` carries, decoded with the source as the applier reads it.
Bytes Decode(const Bytes& box, const Bytes& source) {
  SpanRanges box_input(box);
  SpanRanges source_input(source);
  ContainerDecoder decoder(box_input, &source_input);
  Bytes raw;
  std::vector<std::uint8_t> piece(4096);
  for (std::size_t count; (count = decoder.Read(piece)) != 0;)
    raw.insert(raw.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(count));
  return raw;
}

// Each block's transform, read from the bytes as laid out: the header and
// its head, then blocks of a header and four streams, then a zero yield.
std::vector<std::uint8_t> BlockTransforms(const Bytes& box) {
  std::vector<std::uint8_t> transforms;
  std::size_t at = kFixedHeaderSize + ReadLittleEndian(box.data() + 12, 4) + 4;
  while (at + 4 <= box.size() && ReadLittleEndian(box.data() + at, 4) != 0) {
    transforms.push_back(box.at(at + 8));
    at += kBlockHeaderSize;
    for (int stream = 0; stream < kStreamCount; ++stream)
      at += kStreamHeaderSize + ReadLittleEndian(box.data() + at + 6, 4);
  }
  EXPECT_EQ(at + 4, box.size()) << "the blocks do not end where the container does";
  return transforms;
}

// Whether the pair's container predicts. The x86-64 library's changed code
// reaches mostly data in .bss, which lies in no file and so maps through no
// copy: the prediction saves too little there, and the maker keeps the
// first version.
bool Predicts(const std::string& name) { return name != "x86_64.so"; }

TEST(ContainerOnExecutables, EveryKindRoundTripsAndIsNoLargerThanTheFirstVersion) {
  const std::vector<ExePair> pairs = testing::ReadExePairs();
  ASSERT_EQ(pairs.size(), std::size(testing::kExeFixtureNames));
  for (const ExePair& pair : pairs) {
    SCOPED_TRACE(pair.name);
    MakerOptions aimed;
    aimed.container = true;
    const Bytes raw = testing::MakeInMemory(pair.older, pair.newer, aimed);
    Bytes carried;
    EncodeReport report;
    const Bytes predicting = EncodeContainer(raw, pair.older, 1, {}, &report, &carried);
    const Bytes first = EncodeContainer(raw, pair.older, 1, {.predict = false});
    const Bytes decoded = Decode(predicting, pair.older);
    EXPECT_EQ(decoded, carried.empty() ? raw : carried);
    EXPECT_EQ(testing::ApplyInMemory(decoded, pair.older), pair.newer);
    EXPECT_EQ(testing::ApplyInMemory(Decode(first, pair.older), pair.older), pair.newer);
    EXPECT_EQ(EncodeContainer(raw, pair.older, 2), predicting) << "the bytes depend on the thread count";

    ASSERT_GT(predicting.size(), kFixedHeaderSize);
    EXPECT_EQ(predicting[8], Predicts(pair.name) ? kPredictingVersion : kVersion);
    EXPECT_EQ(first[8], kVersion);
    const std::vector<std::uint8_t> transforms = BlockTransforms(predicting);
    const auto predicted =
        std::count(transforms.begin(), transforms.end(), static_cast<std::uint8_t>(Transform::kPredicted));
    EXPECT_EQ(static_cast<std::uint32_t>(predicted), report.predicted_blocks);
    EXPECT_EQ(report.predicted_blocks >= 1, Predicts(pair.name));
    EXPECT_LE(predicting.size(), first.size());

    // In small blocks, whichever form each takes, a block's literals are
    // predicted through copies learnt in the blocks before it.
    for (const std::uint32_t block_limit : {64u, 128u, 384u}) {
      SCOPED_TRACE(block_limit);
      const Bytes small_blocks =
          EncodeContainer(raw, pair.older, 1, {.block_limit = block_limit}, nullptr, &carried);
      EXPECT_EQ(Decode(small_blocks, pair.older), carried.empty() ? raw : carried);
      EXPECT_EQ(EncodeContainer(raw, pair.older, 2, {.block_limit = block_limit}), small_blocks);
    }
  }
}

}  // namespace
}  // namespace varnock::container
