// POSIX only: Windows forms the name with GetFullPathNameA.
// Guards against the absolute name in a creation error differing from the
// lexically normal absolute path that the program has always shown.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "platform/platform.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;

TEST(FullPathName, IsTheLexicallyNormalAbsolutePath) {
  const char* const parts[] = {"a", "bb", ".", "..", "", "\xe9\xff", "c.d", "..."};
  std::mt19937 random(5);
  for (int trial = 0; trial < 20000; ++trial) {
    std::string name = random() % 3 == 0 ? "/" : "";
    for (int count = static_cast<int>(random() % 7); count > 0; --count) {
      name.append(parts[random() % std::size(parts)]);
      if (count > 1 || random() % 2) name.push_back('/');
    }
    if (name.empty()) continue;
    EXPECT_EQ(platform::FullPathName(name), fs::absolute(name).lexically_normal().string())
        << "name " << name;
  }
}

TEST(FullPathName, EmptyNameStaysEmpty) { EXPECT_EQ(platform::FullPathName(""), ""); }

}  // namespace
}  // namespace varnock
