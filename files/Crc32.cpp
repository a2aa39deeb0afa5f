#include "files/Crc32.h"

#include <algorithm>

#ifdef VARNOCK_CRC32_ZLIB
#include <zlib.h>
#else
#include <libdeflate.h>
#endif

namespace varnock {

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) { return Crc32(bytes, 0); }

std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc_so_far) {
  if (bytes.empty()) return crc_so_far;
#ifdef VARNOCK_CRC32_ZLIB
  // zlib takes the length as an unsigned int, so a longer span goes in pieces.
  constexpr std::size_t kChunk = 1u << 30;
  uLong value = crc_so_far;
  for (std::size_t done = 0; done < bytes.size();) {
    auto count = static_cast<uInt>(std::min(kChunk, bytes.size() - done));
    value = crc32(value, bytes.data() + done, count);
    done += count;
  }
  return static_cast<std::uint32_t>(value);
#else
  return libdeflate_crc32(crc_so_far, bytes.data(), bytes.size());
#endif
}

}  // namespace varnock
