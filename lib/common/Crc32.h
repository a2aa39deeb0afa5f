// The CRC-32 of both checksums in a patch: reflected polynomial 0xEDB88320,
// initial value and final complement 0xFFFFFFFF ("123456789" gives 0xCBF43926).
#pragma once

#include <cstdint>
#include <span>

namespace varnock {

std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

// The CRC-32 of what `crc_so_far` covered followed by `bytes`; a CRC-32 taken
// piece by piece, starting from 0, equals the CRC-32 of the whole.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc_so_far);

}  // namespace varnock
