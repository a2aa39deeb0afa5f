#include "files/Crc32.h"

#include <algorithm>

#ifdef VARNOCK_CRC32_ZLIB
#include <zlib.h>
#else
#include <libdeflate.h>
#endif

namespace varnock {

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return 0;
#ifdef VARNOCK_CRC32_ZLIB
  // zlib takes the length as an unsigned int, so a longer span goes in pieces.
  constexpr std::size_t kChunk = 1u << 30;
  uLong value = crc32(0, Z_NULL, 0);
  for (std::size_t done = 0; done < bytes.size();) {
    auto count = static_cast<uInt>(std::min(kChunk, bytes.size() - done));
    value = crc32(value, bytes.data() + done, count);
    done += count;
  }
  return static_cast<std::uint32_t>(value);
#else
  return libdeflate_crc32(0, bytes.data(), bytes.size());
#endif
}

}  // namespace varnock
