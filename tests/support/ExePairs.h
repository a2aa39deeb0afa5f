// The small executables of tests/unit/data/exe and their newer versions, as
// make-fixtures builds them from the two versions of fixture.c: one pair of
// each kind of executable the prediction knows. Needs no part of the library,
// so that the API's tests read them too (VARNOCK_EXE_TEST_DATA names the folder).
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace varnock::testing {

inline constexpr const char* kExeFixtureNames[] = {"x86_64.so", "i386.so",  "aarch64.so",
                                                   "arm.so",    "i386.dll", "x86_64.dll"};

// Empty when the file cannot be read.
inline std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<std::uint8_t> ReadExeFixture(const std::string& name) {
  return ReadWholeFile(std::string(VARNOCK_EXE_TEST_DATA) + "/" + name);
}

// "x86_64.so" -> "x86_64-newer.so".
inline std::string NewerVersionOf(const std::string& name) {
  const std::size_t dot = name.rfind('.');
  return name.substr(0, dot) + "-newer" + name.substr(dot);
}

struct ExePair {
  std::string name;  // the older's
  std::vector<std::uint8_t> older;
  std::vector<std::uint8_t> newer;
};

// Each pair; a pair whose files cannot be read is left out, and the caller
// fails on fewer than all.
inline std::vector<ExePair> ReadExePairs() {
  std::vector<ExePair> pairs;
  for (const char* name : kExeFixtureNames) {
    ExePair pair{name, ReadExeFixture(name), ReadExeFixture(NewerVersionOf(name))};
    if (!pair.older.empty() && !pair.newer.empty()) pairs.push_back(std::move(pair));
  }
  return pairs;
}

}  // namespace varnock::testing
