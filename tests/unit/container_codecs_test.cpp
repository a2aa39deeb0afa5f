// Guards against a container stream that one encoder may write and the
// decoder refuses: every codec must decode its own encoding of any length,
// none at all included (LZMA2 encodes nothing as its end marker alone).
#include <gtest/gtest.h>

#include <random>

#include "format/Codecs.h"

namespace varnock::container {
namespace {

TEST(ContainerCodecs, EveryCodecDecodesItsOwnEncodingOfAnyLength) {
  std::mt19937 random(9);
  for (const std::size_t length : {0, 1, 2, 100, 70000}) {
    Bytes bytes(length);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random() % 5);
    for (const Codec codec : {Codec::kLzma2, Codec::kZstd}) {
      SCOPED_TRACE(::testing::Message() << "length " << length << ", codec " << static_cast<int>(codec));
      const Compressed compressed = Compress(codec, bytes, /*fast=*/true);
      Bytes decoded(length);
      std::size_t at = 0;
      const StoredReader read = [&](std::span<std::uint8_t> piece) {
        std::copy_n(compressed.bytes.begin() + static_cast<std::ptrdiff_t>(at), piece.size(), piece.begin());
        at += piece.size();
      };
      ASSERT_NO_THROW(Decompress(codec, compressed.property, compressed.bytes.size(), read, decoded,
                                 kLargestBlockLimit, "literals"));
      EXPECT_EQ(decoded, bytes);
    }
  }
}

}  // namespace
}  // namespace varnock::container
