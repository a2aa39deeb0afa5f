// The CRC-32 of both checksums in a patch: reflected polynomial 0xEDB88320,
// initial value and final complement 0xFFFFFFFF ("123456789" gives 0xCBF43926).
#pragma once

#include <cstdint>
#include <span>

namespace varnock {

std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

}  // namespace varnock
