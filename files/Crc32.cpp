#include "files/Crc32.h"

#include <libdeflate.h>

namespace varnock {

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return 0;
  return libdeflate_crc32(0, bytes.data(), bytes.size());
}

}  // namespace varnock
