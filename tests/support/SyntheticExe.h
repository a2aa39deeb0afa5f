// Executables made in memory, for tests that need code of a given shape or
// size that no fixture has: an ELF64 shared object whose one loaded segment,
// the whole file, is code.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "exe/LittleEndian.h"

namespace varnock::testing {

// Where the segment is loaded.
inline constexpr std::uint64_t kSyntheticVa = 0x10000;
// The headers' bytes at the file's start, which are code too.
inline constexpr std::size_t kSyntheticHeaderBytes = 120;

inline constexpr std::uint16_t kElfX64 = 62;
inline constexpr std::uint16_t kElfAarch64 = 183;

// `file` with its first kSyntheticHeaderBytes overwritten by the headers.
inline std::vector<std::uint8_t> MakeElf64Image(std::vector<std::uint8_t> file,
                                                std::uint16_t machine = kElfX64) {
  std::fill(file.begin(), file.begin() + kSyntheticHeaderBytes, std::uint8_t{0});
  const std::uint8_t ident[] = {0x7F, 'E', 'L', 'F', 2, 1, 1};
  std::copy(std::begin(ident), std::end(ident), file.begin());
  exe::Store16(file.data() + 16, 3);  // shared object
  exe::Store16(file.data() + 18, machine);
  exe::Store64(file.data() + 32, 64);  // program headers
  exe::Store16(file.data() + 54, 56);
  exe::Store16(file.data() + 56, 1);
  std::uint8_t* load = file.data() + 64;
  exe::Store32(load, 1);      // loaded
  exe::Store32(load + 4, 5);  // readable, executable
  exe::Store64(load + 16, kSyntheticVa);
  exe::Store64(load + 32, file.size());
  exe::Store64(load + 40, file.size());
  return file;
}

}  // namespace varnock::testing
