#include <algorithm>

#include "common/Errors.h"
#include "format/ByteOrder.h"
#include "format/PatchFormat.h"

namespace varnock {
PatchHeader ValidatePatch(ByteSpan patch, const std::function<std::uint32_t()>& source_checksum,
                          const std::string& patch_name) {
  return ValidatePatchHead(patch, patch.size(), source_checksum, patch_name);
}

PatchHeader ReadPatchHeader(ByteSpan head, std::uint64_t patch_size) {
  if (patch_size < 4) throw Exception(ErrorKind::kNoHeader, "Patch file contains no header.");
  const std::uint8_t* bytes = head.data();
  std::uint32_t header_size = static_cast<std::uint32_t>(ReadLittleEndian(bytes, 2));
  std::uint32_t block_size = static_cast<std::uint32_t>(ReadLittleEndian(bytes + 2, 2));
  if (header_size < block_size + kMinimumHeaderSize)
    throw Exception(ErrorKind::kHeaderCorrupted, "Patch file header corrupted.");
  // A header that claims more bytes than the file has is just as corrupt; the
  // checksums at its end would otherwise be read from beyond the file.
  if (std::uint64_t{header_size} + kSignatureSize > patch_size)
    throw Exception(ErrorKind::kHeaderCorrupted, "Patch file header corrupted.");
  return {header_size, static_cast<std::uint32_t>(ReadLittleEndian(bytes + header_size - 8, 4)),
          static_cast<std::uint32_t>(ReadLittleEndian(bytes + header_size - 4, 4))};
}

void CheckSignature(ByteSpan head, const PatchHeader& header, const std::string& patch_name) {
  const std::uint8_t* bytes = head.data();
  if (!std::equal(std::begin(kPatchMagic), std::end(kPatchMagic), bytes + header.header_size)) {
    RaiseNotAPatch(patch_name);
  }
  if (bytes[header.header_size + 4] != kFormatVersion)
    throw Exception(ErrorKind::kUnsupportedVersion, "Unsupported version of patch format ");
}

PatchHeader ValidatePatchHead(ByteSpan head, std::uint64_t patch_size,
                              const std::function<std::uint32_t()>& source_checksum,
                              const std::string& patch_name) {
  const PatchHeader header = ReadPatchHeader(head, patch_size);
  if (source_checksum() != header.source_crc) RaiseSourceChecksum();
  CheckSignature(head, header, patch_name);
  return header;
}

void RaiseNotAPatch(const std::string& patch_name) {
  throw Exception(ErrorKind::kNotAPatch, patch_name + " is not a patch");
}

bool HoldsPatchMagic(ByteSpan head) {
  if (head.size() < kMinimumHeaderSize) return false;
  const ByteSpan after = head.subspan(kMinimumHeaderSize);
  return std::search(after.begin(), after.end(), std::begin(kPatchMagic), std::end(kPatchMagic)) !=
         after.end();
}

void RaiseSourceChecksum() {
  throw Exception(ErrorKind::kSourceChecksum, "Source file checksum don't match");
}

void CheckTargetChecksum(const PatchHeader& header, std::uint32_t target_crc) {
  if (target_crc != header.target_crc)
    throw Exception(ErrorKind::kTargetChecksum, "Target file checksum don't match");
}

}  // namespace varnock
