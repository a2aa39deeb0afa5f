#include "format/ContainerFormat.h"

#include <algorithm>

#include "common/Crc32.h"

namespace varnock::container {

Bytes EncodeHeader(const Header& header, ByteSpan head) {
  Bytes out(std::begin(kContainerMagic), std::end(kContainerMagic));
  out.push_back(header.version);
  AppendLittleEndian(out, 0, 3);
  AppendLittleEndian(out, header.head_size, 4);
  AppendLittleEndian(out, header.raw_size, 8);
  AppendLittleEndian(out, header.raw_crc, 4);
  AppendLittleEndian(out, header.source_crc, 4);
  AppendLittleEndian(out, header.source_size, 8);
  AppendLittleEndian(out, header.target_size, 8);
  AppendLittleEndian(out, header.target_crc, 4);
  AppendLittleEndian(out, header.block_limit, 4);
  out.insert(out.end(), head.begin(), head.end());
  AppendLittleEndian(out, Crc32(out), 4);
  return out;
}

Header DecodeHeader(ByteSpan bytes) {
  const std::uint8_t* at = bytes.data();
  if (at[8] != kVersion && at[8] != kPredictingVersion) {
    throw Exception(ErrorKind::kContainerVersion,
                    "Unsupported version of patch container " + std::to_string(at[8]));
  }
  if (ReadLittleEndian(at + 9, 3) != 0) throw EContainerDamaged("reserved header bytes are not zero");
  Header header;
  header.version = at[8];
  header.head_size = static_cast<std::uint32_t>(ReadLittleEndian(at + 12, 4));
  header.raw_size = ReadLittleEndian(at + 16, 8);
  header.raw_crc = static_cast<std::uint32_t>(ReadLittleEndian(at + 24, 4));
  header.source_crc = static_cast<std::uint32_t>(ReadLittleEndian(at + 28, 4));
  header.source_size = ReadLittleEndian(at + 32, 8);
  header.target_size = ReadLittleEndian(at + 40, 8);
  header.target_crc = static_cast<std::uint32_t>(ReadLittleEndian(at + 48, 4));
  header.block_limit = static_cast<std::uint32_t>(ReadLittleEndian(at + 52, 4));
  if (header.head_size < kShortestHead || header.head_size > kLongestHead)
    throw EContainerDamaged("the head's length is out of bounds");
  if (header.raw_size <= header.head_size || header.raw_size > 0xFFFFFFFF)
    throw EContainerDamaged("the raw patch's length is out of bounds");
  if (header.source_size > 0xFFFFFFFF) throw EContainerDamaged("the source's length is out of bounds");
  if (header.block_limit == 0 || header.block_limit > kLargestBlockLimit)
    throw EContainerDamaged("the block limit is out of bounds");
  return header;
}

}  // namespace varnock::container
