// Little-endian field readers and writers for executable headers and
// instruction words: byte assembly, never an unaligned pointer cast.
#pragma once

#include <cstdint>

namespace varnock::exe {

inline std::uint16_t Load16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

inline std::uint32_t Load32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t Load64(const std::uint8_t* p) {
  return Load32(p) | (static_cast<std::uint64_t>(Load32(p + 4)) << 32);
}

inline void Store16(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void Store32(std::uint8_t* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void Store64(std::uint8_t* p, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace varnock::exe
