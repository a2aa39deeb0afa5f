// Builds patches and collects runs in memory, for tests and fuzz seeds.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "common/Crc32.h"
#include "io/FileStream.h"

namespace varnock::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline void AppendBigEndian(Bytes& out, std::uint64_t value, unsigned width) {
  for (unsigned i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline void AppendLittleEndian(Bytes& out, std::uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// One instruction as its stream bytes.
inline Bytes ShortLiteral(std::span<const std::uint8_t> data) {
  Bytes out{static_cast<std::uint8_t>(data.size())};
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// Literal-16 (opcode 0xF7) or literal-32 (0xF8), with the length it claims.
inline Bytes LongLiteral(std::uint8_t opcode, std::uint64_t claimed_length,
                         std::span<const std::uint8_t> data) {
  Bytes out{opcode};
  AppendBigEndian(out, claimed_length, opcode == 0xF7 ? 2 : 4);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// Operand widths of the copy opcodes 0xF9..0xFE: offset, then length.
inline constexpr unsigned kCopyWidths[6][2] = {{2, 1}, {2, 2}, {2, 4}, {4, 1}, {4, 2}, {4, 4}};

inline Bytes Copy(std::uint8_t opcode, std::uint64_t offset, std::uint64_t length) {
  Bytes out{opcode};
  AppendBigEndian(out, offset, kCopyWidths[opcode - 0xF9][0]);
  AppendBigEndian(out, length, kCopyWidths[opcode - 0xF9][1]);
  return out;
}

struct PatchFields {
  Bytes header_block;
  std::uint32_t source_crc = 0;
  std::uint32_t target_crc = 0;
  std::uint8_t version = 4;
  bool stop = true;
};

inline Bytes BuildPatch(const PatchFields& fields, std::initializer_list<Bytes> instructions) {
  Bytes out;
  AppendLittleEndian(out, 12 + fields.header_block.size(), 2);
  AppendLittleEndian(out, fields.header_block.size(), 2);
  out.insert(out.end(), fields.header_block.begin(), fields.header_block.end());
  AppendLittleEndian(out, fields.source_crc, 4);
  AppendLittleEndian(out, fields.target_crc, 4);
  out.insert(out.end(), {0xD1, 0xFF, 0xD1, 0xFF, fields.version});
  for (const Bytes& instruction : instructions) out.insert(out.end(), instruction.begin(), instruction.end());
  if (fields.stop) out.push_back(0x00);
  return out;
}

// A patch for `source` whose target CRC-32 is that of `target`.
inline Bytes BuildPatchFor(const Bytes& source, const Bytes& target,
                           std::initializer_list<Bytes> instructions) {
  PatchFields fields;
  fields.source_crc = Crc32(source);
  fields.target_crc = Crc32(target);
  return BuildPatch(fields, instructions);
}

// A target kept in memory; records each run as it was written.
class MemoryStream : public TStream {
 public:
  Bytes contents;
  std::vector<std::int32_t> run_lengths;

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    contents.insert(contents.end(), bytes, bytes + count);
    run_lengths.push_back(count);
    return count;
  }
};

}  // namespace varnock::testing
