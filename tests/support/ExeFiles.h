// The executables the exe tests read: the small fixtures of
// tests/unit/data/exe (built by its make-fixtures) and, where the machine has
// them, a few of its own system files.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "exe/Image.h"

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

// Empty when the file cannot be read.
inline std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<std::uint8_t> ReadExeFixture(const std::string& name) {
  return ReadWholeFile(std::string(VARNOCK_EXE_TEST_DATA) + "/" + name);
}

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
