// Guards against a CRC-32 that differs from the one patches carry, at any
// length or alignment the library's fast paths take.
#include "common/Crc32.h"

#include <gtest/gtest.h>

#include <random>

#include "support/PatchBuilder.h"

namespace varnock {
namespace {

std::uint32_t BitwiseCrc32(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0xFFFFFFFF;
  for (std::uint8_t byte : bytes) {
    value ^= byte;
    for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ (0xEDB88320 & (0u - (value & 1)));
  }
  return ~value;
}

TEST(Crc32, KnownValues) {
  EXPECT_EQ(Crc32(testing::ToBytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(Crc32({}), 0u);
  EXPECT_EQ(Crc32(testing::ToBytes("a")), 0xE8B7BE43u);
}

TEST(Crc32, MatchesBitwiseReferenceAtEveryAlignment) {
  std::mt19937 random(12345);
  testing::Bytes buffer(5000);
  for (auto& byte : buffer) byte = static_cast<std::uint8_t>(random());
  for (int trial = 0; trial < 400; ++trial) {
    std::size_t start = random() % 64;
    std::size_t length = random() % (buffer.size() - start);
    std::span<const std::uint8_t> slice(buffer.data() + start, length);
    ASSERT_EQ(Crc32(slice), BitwiseCrc32(slice)) << "start " << start << " length " << length;
  }
}

}  // namespace
}  // namespace varnock
