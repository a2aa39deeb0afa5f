// POSIX only: Windows asks GlobalMemoryStatusEx.
// Guards against a memory query that misses the binding limit: a control
// group's limit (v2, v2 beside v1, v1), one of an ancestor group, the page
// cache a group holds, or a system without the files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

struct Tree {
  std::string name;
  std::map<std::string, std::string> files;
  std::optional<std::uint64_t> available;
};

const std::string kMeminfo =
    "MemTotal:       24000000 kB\nMemFree:         1000 kB\nMemAvailable:   8388608 kB\n";

TEST(AvailableMemory, TakesTheTightestOfTheSystemAndEveryGroupAbove) {
  const Tree trees[] = {
      {"nothing known", {}, std::nullopt},
      {"meminfo only", {{"proc/meminfo", kMeminfo}}, 8192 * kMiB},
      {"v2 without a limit",
       {{"proc/meminfo", kMeminfo},
        {"proc/self/cgroup", "0::/user/job\n"},
        {"sys/fs/cgroup/user/job/memory.max", "max\n"},
        {"sys/fs/cgroup/user/job/memory.current", "1048576\n"}},
       8192 * kMiB},
      {"v2 limit, page cache counted as free",
       {{"proc/meminfo", kMeminfo},
        {"proc/self/cgroup", "0::/user/job\n"},
        {"sys/fs/cgroup/user/job/memory.max", "2147483648\n"},
        {"sys/fs/cgroup/user/job/memory.current", "1610612736\n"},
        {"sys/fs/cgroup/user/job/memory.stat", "anon 536870912\nfile 1073741824\n"}},
       1536 * kMiB},
      {"v2 limit of a parent group",
       {{"proc/meminfo", kMeminfo},
        {"proc/self/cgroup", "0::/user/job\n"},
        {"sys/fs/cgroup/user/memory.max", "1073741824\n"},
        {"sys/fs/cgroup/user/memory.current", "268435456\n"},
        {"sys/fs/cgroup/user/job/memory.max", "4294967296\n"},
        {"sys/fs/cgroup/user/job/memory.current", "0\n"}},
       768 * kMiB},
      {"v2 beside v1 (unified)",
       {{"proc/meminfo", kMeminfo},
        {"proc/self/cgroup", "4:memory:/\n0::/job\n"},
        {"sys/fs/cgroup/unified/job/memory.max", "536870912\n"},
        {"sys/fs/cgroup/unified/job/memory.current", "0\n"}},
       512 * kMiB},
      {"v1 memory controller among others",
       {{"proc/meminfo", kMeminfo},
        {"proc/self/cgroup", "5:cpu,cpuacct:/\n4:memory:/box/7\n0::/\n"},
        {"sys/fs/cgroup/memory/box/7/memory.limit_in_bytes", "3221225472\n"},
        {"sys/fs/cgroup/memory/box/7/memory.usage_in_bytes", "2147483648\n"},
        {"sys/fs/cgroup/memory/box/7/memory.stat", "cache 1000\ntotal_cache 1073741824\n"}},
       2048 * kMiB},
      {"v1 without a limit",
       {{"proc/meminfo", kMeminfo},
        {"proc/self/cgroup", "4:memory:/box\n"},
        {"sys/fs/cgroup/memory/box/memory.limit_in_bytes", "9223372036854771712\n"},
        {"sys/fs/cgroup/memory/box/memory.usage_in_bytes", "1073741824\n"}},
       8192 * kMiB},
      {"group over its limit",
       {{"proc/meminfo", kMeminfo},
        {"proc/self/cgroup", "0::/job\n"},
        {"sys/fs/cgroup/job/memory.max", "1048576\n"},
        {"sys/fs/cgroup/job/memory.current", "2097152\n"}},
       0},
      {"a group limit and no meminfo",
       {{"proc/self/cgroup", "0::/\n"}, {"sys/fs/cgroup/memory.max", "65536\n"}},
       65536},
  };
  for (const Tree& tree : trees) {
    const fs::path root = fs::temp_directory_path() / ("varnock-memory-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    for (const auto& [name, text] : tree.files) {
      fs::create_directories((root / name).parent_path());
      std::ofstream(root / name) << text;
    }
    EXPECT_EQ(platform::AvailableMemoryUnder(root.string()), tree.available) << tree.name;
    fs::remove_all(root);
  }
}

TEST(AvailableMemory, IsKnownOnThisSystem) {
  const std::optional<std::uint64_t> available = platform::AvailableMemory();
  ASSERT_TRUE(available.has_value());
  EXPECT_GT(*available, 0u);
}

}  // namespace
}  // namespace varnock
