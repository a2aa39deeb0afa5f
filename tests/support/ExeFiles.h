// The executables the exe tests read: the small fixtures of
// tests/unit/data/exe (built by its make-fixtures) and, where the machine has
// them, a few of its own system files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exe/Image.h"
#include "support/ExePairs.h"

namespace varnock::testing {

struct ExeFile {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

struct ExeFixture {
  const char* name;
  exe::Machine machine;
  exe::Format format;
};

inline constexpr ExeFixture kExeFixtures[] = {
    {"x86_64.so", exe::Machine::kX64, exe::Format::kElf},
    {"i386.so", exe::Machine::kX86, exe::Format::kElf},
    {"aarch64.so", exe::Machine::kArm64, exe::Format::kElf},
    {"arm.so", exe::Machine::kArm32, exe::Format::kElf},
    {"i386.dll", exe::Machine::kX86, exe::Format::kPe},
    {"x86_64.dll", exe::Machine::kX64, exe::Format::kPe},
};

// The fixtures, then those system executables that are present.
inline std::vector<ExeFile> ExeFilesToScan() {
  std::vector<ExeFile> files;
  for (const ExeFixture& fixture : kExeFixtures) {
    auto bytes = ReadExeFixture(fixture.name);
    if (!bytes.empty()) files.push_back({fixture.name, std::move(bytes)});
  }
  for (const char* path : {"/bin/ls", "/usr/lib/x86_64-linux-gnu/libc.so.6"}) {
    auto bytes = ReadWholeFile(path);
    if (!bytes.empty()) files.push_back({path, std::move(bytes)});
  }
  return files;
}

}  // namespace varnock::testing
