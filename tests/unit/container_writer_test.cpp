// Guards the container made as the raw patch is written: bytes that depend
// on how the patch was cut into writes or on the thread count, a container
// streamed that is not the one made whole, a fold that breaks the patch in
// some window, and a check that lets a wrong container through.
#include <gtest/gtest.h>

#include <random>

#include "make/PatchVerifier.h"
#include "make/encode/ContainerOutput.h"
#include "support/ExePairs.h"
#include "support/MakerHarness.h"

namespace varnock::container {
namespace {

struct Pair {
  std::string name;
  Bytes older;
  Bytes newer;
};

// The executables, and a long pair of other bytes whose raw patch is past
// what is made every way, so that it streams.
std::vector<Pair> Pairs() {
  std::vector<Pair> pairs;
  for (testing::ExePair& exe : testing::ReadExePairs())
    pairs.push_back({exe.name, std::move(exe.older), std::move(exe.newer)});
  std::mt19937 random(5);
  Bytes older(300000);
  for (std::uint8_t& byte : older) byte = static_cast<std::uint8_t>(random() % 7);
  Bytes newer = older;
  for (std::size_t at = 0; at < newer.size(); at += 1 + random() % 40) newer[at] ^= 1 + random() % 250;
  pairs.push_back({"edited", std::move(older), std::move(newer)});
  return pairs;
}

// The raw patch as the maker parses it for a container.
Bytes RawForContainer(const Pair& pair) {
  MakerOptions options;
  options.container = true;
  return testing::MakeInMemory(pair.older, pair.newer, options);
}

// `bytes` written to `sink` in pieces of random lengths.
void WriteInPieces(PatchSink& sink, ByteSpan bytes, std::mt19937& random) {
  while (!bytes.empty()) {
    const std::size_t count = std::min<std::size_t>(bytes.size(), 1 + random() % 3000);
    sink.Write(bytes.first(count));
    bytes = bytes.subspan(count);
  }
}

Bytes Written(ByteSpan raw, ByteSpan source, unsigned threads, std::uint32_t block_limit,
              std::mt19937* random) {
  ContainerBytes out;
  ContainerWriter writer(source, threads, {.block_limit = block_limit}, out);
  if (random != nullptr)
    WriteInPieces(writer, raw, *random);
  else
    writer.Write(raw);
  writer.Finish();
  return std::move(out.bytes());
}

TEST(ContainerWriter, TheBytesDependOnNeitherTheWritesNorTheThreadsAndRebuildTheTarget) {
  std::mt19937 random(11);
  for (const Pair& pair : Pairs()) {
    SCOPED_TRACE(pair.name);
    const Bytes raw = RawForContainer(pair);
    for (const std::uint32_t block_limit : {64u, 5000u, kDefaultBlockLimit}) {
      SCOPED_TRACE(block_limit);
      const Bytes whole = Written(raw, pair.older, 1, block_limit, nullptr);
      EXPECT_NO_THROW(VerifyContainer(whole, pair.older, pair.newer));
      for (const unsigned threads : {1u, 2u, 3u})
        EXPECT_EQ(Written(raw, pair.older, threads, block_limit, &random), whole) << threads << " threads";
    }
  }
}

TEST(ContainerMaking, StreamsTheContainerMadeWholeAndFoldsRightInAnyWindow) {
  std::mt19937 random(12);
  for (const Pair& pair : Pairs()) {
    SCOPED_TRACE(pair.name);
    const Bytes raw = RawForContainer(pair);
    if (pair.name == "edited") {
      ASSERT_GT(raw.size(), kLargestUnsurePatch) << "the long pair no longer streams";
    }
    ContainerBytes streamed;
    ContainerMaking making(pair.older, 2, streamed);
    WriteInPieces(making, raw, random);
    making.Finish();
    EXPECT_EQ(streamed.bytes(), EncodeContainer(raw, pair.older, 1));

    for (const std::uint64_t window : {std::uint64_t{64}, std::uint64_t{2000}, CopyFolder::kFoldWindow}) {
      testing::MemorySink folded;
      CopyFolder folder(pair.older, folded, window);
      WriteInPieces(folder, raw, random);
      folder.Finish();
      EXPECT_EQ(testing::ApplyInMemory(folded.bytes, pair.older), pair.newer) << "window " << window;
    }
  }
}

TEST(VerifyContainer, RefusesAContainerThatDoesNotRebuildTheTarget) {
  const Pair pair = Pairs().back();
  const Bytes container = EncodeContainer(testing::MakeInMemory(pair.older, pair.newer), pair.older, 1);
  Bytes other_target = pair.newer;
  other_target[other_target.size() / 2] ^= 0x10;
  Bytes damaged = container;
  damaged[damaged.size() - 20] ^= 0x10;
  const struct {
    const char* what;
    const Bytes& container;
    const Bytes& target;
  } cases[] = {{"another target", container, other_target}, {"a damaged block", damaged, pair.newer}};
  for (const auto& a_case : cases)
    EXPECT_THROW(VerifyContainer(a_case.container, pair.older, a_case.target), ENotRebuilt) << a_case.what;
}

}  // namespace
}  // namespace varnock::container
