// Guards the large buffers' arithmetic: a length rounded beyond what may be
// taken, or a mapping trimmed for its alignment that cuts into the buffer
// (a write at its end then faults) or leaves a piece mapped.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace varnock {
namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = kKiB * kKiB;

TEST(LargeBuffer, TakesNoMoreThanAllowedAndCanBeWrittenWhole) {
  const struct {
    std::size_t size;
    std::size_t most;
  } cases[] = {
      {1, 1},
      {4 * kKiB, 64 * kMiB},
      {256 * kKiB, 256 * kKiB},
      {2 * kMiB - 1, 2 * kMiB - 1},
      {2 * kMiB - 1, 2 * kMiB},
      {2 * kMiB, 2 * kMiB},
      {2 * kMiB + 1, 3 * kMiB},
      {2 * kMiB + 1, 4 * kMiB},
      {35 * 256 * kKiB, 64 * kMiB},
      {9 * kMiB + 256 * kKiB, 9 * kMiB + 512 * kKiB},
      {SIZE_MAX - kKiB, SIZE_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " of at most " << c.most);
    const std::size_t length = platform::LargeBufferLength(c.size, c.most);
    EXPECT_GE(length, c.size);
    EXPECT_LE(length, c.most);
    if (c.most > 64 * kMiB) continue;
    std::uint8_t* buffer = platform::AllocateLargeBuffer(length);
    ASSERT_NE(buffer, nullptr);
    std::memset(buffer, 0xA5, length);
    EXPECT_EQ(buffer[0], 0xA5);
    EXPECT_EQ(buffer[length - 1], 0xA5);
    platform::FreeLargeBuffer(buffer, length);
  }
}

TEST(LargeBuffer, BuffersMadeOneAfterAnotherDoNotOverlap) {
  // A lead or tail left mapped, or unmapped from the next buffer, shows as
  // a buffer that overwrites another.
  constexpr std::size_t kSizes[] = {3 * kMiB + 4 * kKiB, 2 * kMiB, 5 * kMiB + 1, 256 * kKiB};
  std::uint8_t* buffers[std::size(kSizes)];
  for (std::size_t i = 0; i < std::size(kSizes); ++i) {
    buffers[i] = platform::AllocateLargeBuffer(kSizes[i]);
    ASSERT_NE(buffers[i], nullptr);
    std::memset(buffers[i], static_cast<int>(i + 1), kSizes[i]);
  }
  for (std::size_t i = 0; i < std::size(kSizes); ++i) {
    EXPECT_EQ(buffers[i][0], i + 1);
    EXPECT_EQ(buffers[i][kSizes[i] - 1], i + 1);
    platform::FreeLargeBuffer(buffers[i], kSizes[i]);
  }
}

}  // namespace
}  // namespace varnock
