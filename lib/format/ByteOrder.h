// Multi-byte fields, assembled a byte at a time so that no pointer is read
// unaligned: the raw patch's header is little-endian and its operands
// big-endian; the container is little-endian throughout.
#pragma once

#include <cstdint>
#include <vector>

namespace varnock {

inline std::uint64_t ReadLittleEndian(const std::uint8_t* bytes, unsigned width) {
  std::uint64_t value = 0;
  for (unsigned i = width; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

// The decoder's hot loop reads operands of fixed widths, unrolled.
template <unsigned Width>
std::uint32_t ReadBigEndian(const std::uint8_t* bytes) {
  static_assert(Width <= 4);
  std::uint32_t value = 0;
  for (unsigned i = 0; i < Width; ++i) value = value << 8 | bytes[i];
  return value;
}

inline std::uint64_t ReadBigEndian(const std::uint8_t* bytes, unsigned width) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) value = value << 8 | bytes[i];
  return value;
}

inline void AppendLittleEndian(std::vector<std::uint8_t>& out, std::uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline void AppendBigEndian(std::vector<std::uint8_t>& out, std::uint64_t value, unsigned width) {
  for (unsigned i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Writes `width` bytes at `at`; returns the end of what it wrote.
inline std::uint8_t* WriteBigEndian(std::uint8_t* at, std::uint64_t value, unsigned width) {
  for (unsigned i = width; i-- > 0;) *at++ = static_cast<std::uint8_t>(value >> (8 * i));
  return at;
}

}  // namespace varnock
