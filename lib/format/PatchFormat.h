// The patch format: its opcodes and constants, and the checks on a patch's
// header and signature. Every bound test is an exact 64-bit sum, so no patch
// can make a read leave the patch. Each instruction is decoded in
// format/Instruction.h; the stream is run in apply/InstructionStream.h (from
// spans) and apply/RangedStream.h (from inputs read by ranges), and read
// without a source in apply/PatchScan.h.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace varnock {

using ByteSpan = std::span<const std::uint8_t>;

namespace opcode {
inline constexpr std::uint8_t kStop = 0x00;
inline constexpr std::uint8_t kLongestShortLiteral = 0xF6;  // 0x01..0xF6: that many bytes follow
inline constexpr std::uint8_t kLiteral16 = 0xF7;
inline constexpr std::uint8_t kLiteral32 = 0xF8;
inline constexpr std::uint8_t kCopy16_8 = 0xF9;  // copy-<offset bits>/<length bits>
inline constexpr std::uint8_t kCopy16_16 = 0xFA;
inline constexpr std::uint8_t kCopy16_32 = 0xFB;
inline constexpr std::uint8_t kCopy32_8 = 0xFC;
inline constexpr std::uint8_t kCopy32_16 = 0xFD;
inline constexpr std::uint8_t kCopy32_32 = 0xFE;
inline constexpr std::uint8_t kUnsupported64 = 0xFF;
}  // namespace opcode

inline constexpr std::uint8_t kPatchMagic[4] = {0xD1, 0xFF, 0xD1, 0xFF};
inline constexpr std::uint8_t kFormatVersion = 4;
// The two 16-bit size fields and the two checksums; the header block adds to it.
inline constexpr std::uint32_t kMinimumHeaderSize = 12;
// Magic and version byte, between the header and the first instruction.
inline constexpr std::uint32_t kSignatureSize = 5;
// A run is a signed 32-bit count for the writer.
inline constexpr std::uint64_t kLongestRun = 0x7FFFFFFF;
// The largest source, target and patch, below 4 GiB: the format's copies
// address the source with 32 bits, and the applicator measures its files so.
inline constexpr std::uint64_t kLargestFile = 0xFFFFFFFF;

struct PatchHeader {
  std::uint32_t header_size;  // also the offset of the magic
  std::uint32_t source_crc;
  std::uint32_t target_crc;
};

// Checks the patch's header against its own length, then the source's CRC-32
// (asked for only once the header holds), then the magic and version byte.
// Raises the error of the first check that fails.
PatchHeader ValidatePatch(ByteSpan patch, const std::function<std::uint32_t()>& source_checksum,
                          const std::string& patch_name);

// The most bytes of a patch that the checks above read: the longest header
// and the signature after it.
inline constexpr std::uint32_t kLongestPatchHead = 0xFFFF + kSignatureSize;

// The same checks on the first min(`patch_size`, kLongestPatchHead) bytes of
// a patch of `patch_size` bytes, `head`.
PatchHeader ValidatePatchHead(ByteSpan head, std::uint64_t patch_size,
                              const std::function<std::uint32_t()>& source_checksum,
                              const std::string& patch_name);

// The header's checks that need no source, on the same `head`: its length
// and size fields; raises their error.
PatchHeader ReadPatchHeader(ByteSpan head, std::uint64_t patch_size);

// The magic and the version byte after a header that holds.
void CheckSignature(ByteSpan head, const PatchHeader& header, const std::string& patch_name);

// The error of a file that is no patch, named `patch_name`.
[[noreturn]] void RaiseNotAPatch(const std::string& patch_name);

// Whether the patch magic appears in `head` where a header could end, as it
// does in a patch whose header's fields alone are damaged.
bool HoldsPatchMagic(ByteSpan head);

// Raises the target checksum error when `target_crc`, the CRC-32 of the
// target as written, is not the one the header names.
void CheckTargetChecksum(const PatchHeader& header, std::uint32_t target_crc);

// The error of a patch made for another source.
[[noreturn]] void RaiseSourceChecksum();

}  // namespace varnock
