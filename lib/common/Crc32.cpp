#include "common/Crc32.h"

#include <libdeflate.h>

namespace varnock {

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) { return Crc32(bytes, 0); }

std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc_so_far) {
  if (bytes.empty()) return crc_so_far;
  return libdeflate_crc32(crc_so_far, bytes.data(), bytes.size());
}

}  // namespace varnock
