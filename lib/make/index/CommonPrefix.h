// Byte-string helpers the indexes share.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace varnock::maker {

inline std::uint64_t LoadWord(const std::uint8_t* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// How many leading bytes of `a` and `b` agree, looking at `limit` at most.
// Compares a word at a time; the index that comes out is little-endian's.
inline std::size_t CommonPrefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
  std::size_t length = 0;
  while (length + 8 <= limit) {
    const std::uint64_t difference = LoadWord(a + length) ^ LoadWord(b + length);
    if (difference != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return length + static_cast<std::size_t>(std::countr_zero(difference)) / 8;
      } else {
        return length + static_cast<std::size_t>(std::countl_zero(difference)) / 8;
      }
    }
    length += 8;
  }
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

// A 64-bit mix whose every output bit depends on every input bit.
inline std::uint64_t Mix(std::uint64_t value) {
  value ^= value >> 33;
  value *= 0xFF51AFD7ED558CCDull;
  value ^= value >> 33;
  value *= 0xC4CEB9FE1A85EC53ull;
  value ^= value >> 33;
  return value;
}

}  // namespace varnock::maker
