// What memory the process can still take, on Linux: the kernel's estimate of
// memory available without swapping, capped by every memory control group the
// process lies in (version 2, or version 1's memory controller). Elsewhere the
// files are absent and nothing is known.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace varnock::platform {
namespace {

std::optional<std::string> ReadText(const std::string& name) {
  std::ifstream file(name);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  return value;
}

// The value after `key` at the start of a line of `text` ("Key: 123 kB",
// "key 123"), nullopt when absent.
std::optional<std::uint64_t> Field(const std::string& text, std::string_view key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
        (line[key.size()] == ' ' || line[key.size()] == ':'))
      return ParseNumber(std::string_view(line).substr(key.size() + 1));
  }
  return std::nullopt;
}

std::optional<std::uint64_t> NumberIn(const std::string& name) {
  const std::optional<std::string> text = ReadText(name);
  return text ? ParseNumber(*text) : std::nullopt;
}

// What a group's limit leaves: the limit less what the group holds, where
// the page cache it holds counts as free (the kernel reclaims it first).
// nullopt for a group without a limit ("max", or v1's near-2^63 figure).
std::optional<std::uint64_t> LeftUnder(std::optional<std::uint64_t> limit, std::optional<std::uint64_t> used,
                                       std::optional<std::uint64_t> cache) {
  constexpr std::uint64_t kNoLimitFrom = std::uint64_t{1} << 60;
  if (!limit || *limit >= kNoLimitFrom) return std::nullopt;
  const std::uint64_t held = used.value_or(0) - std::min(used.value_or(0), cache.value_or(0));
  return *limit > held ? *limit - held : 0;
}

// The process's group of a hierarchy from /proc/self/cgroup: the path after
// "0::" (v2) or after the controller list that names `controller` (v1).
std::optional<std::string> GroupPath(const std::string& groups, std::string_view controller) {
  std::istringstream lines(groups);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const bool wanted =
        controller.empty()
            ? line.compare(0, 3, "0::") == 0
            : ("," + controllers + ",").find("," + std::string(controller) + ",") != std::string::npos;
    if (wanted) return line.substr(second + 1);
  }
  return std::nullopt;
}

// The tightest of the limits of the group at `path` under `mount` and of its
// ancestors, any of which may be the one that binds.
template <typename LeftInGroup>
std::optional<std::uint64_t> TightestOnPath(const std::string& mount, std::string path, LeftInGroup left_in) {
  std::optional<std::uint64_t> tightest;
  for (;;) {
    const std::optional<std::uint64_t> left = left_in(mount + path);
    if (left) tightest = std::min(tightest.value_or(*left), *left);
    if (path.empty() || path == "/") break;
    const std::size_t slash = path.find_last_of('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
  return tightest;
}

std::optional<std::uint64_t> LeftInVersion2Group(const std::string& directory) {
  const std::optional<std::string> stat = ReadText(directory + "/memory.stat");
  return LeftUnder(NumberIn(directory + "/memory.max"), NumberIn(directory + "/memory.current"),
                   stat ? Field(*stat, "file") : std::nullopt);
}

std::optional<std::uint64_t> LeftInVersion1Group(const std::string& directory) {
  const std::optional<std::string> stat = ReadText(directory + "/memory.stat");
  return LeftUnder(NumberIn(directory + "/memory.limit_in_bytes"),
                   NumberIn(directory + "/memory.usage_in_bytes"),
                   stat ? Field(*stat, "total_cache") : std::nullopt);
}

std::optional<std::uint64_t> TighterOf(std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) {
  if (a && b) return std::min(*a, *b);
  return a ? a : b;
}

}  // namespace

std::optional<std::uint64_t> AvailableMemoryUnder(const std::string& root) {
  std::optional<std::uint64_t> available;
  if (const std::optional<std::string> meminfo = ReadText(root + "/proc/meminfo")) {
    if (const std::optional<std::uint64_t> kib = Field(*meminfo, "MemAvailable")) available = *kib * 1024;
  }
  const std::optional<std::string> groups = ReadText(root + "/proc/self/cgroup");
  if (!groups) return available;
  // Version 2 is mounted at sys/fs/cgroup, or at sys/fs/cgroup/unified beside version 1.
  if (const std::optional<std::string> path = GroupPath(*groups, "")) {
    for (const char* mount : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"})
      available = TighterOf(available, TightestOnPath(root + mount, *path, LeftInVersion2Group));
  }
  if (const std::optional<std::string> path = GroupPath(*groups, "memory"))
    available =
        TighterOf(available, TightestOnPath(root + "/sys/fs/cgroup/memory", *path, LeftInVersion1Group));
  return available;
}

std::optional<std::uint64_t> AvailableMemory() {
#ifdef __EMSCRIPTEN__
  // A WebAssembly module has no /proc to read, and its heap's ceiling is the
  // build's: the browser tells nothing more.
  return std::nullopt;
#else
  return AvailableMemoryUnder("");
#endif
}

}  // namespace varnock::platform
