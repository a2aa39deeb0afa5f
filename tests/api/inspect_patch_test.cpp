// Guards against an inspection that tells another story than applying: for
// well-formed and damaged patches alike, what it reports (or the error it
// returns) must be what applying the patch to its own source finds, read from
// memory or by ranges; and the header alone must not read the whole patch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "api/ApiSupport.h"

namespace varnock {
namespace {

using testing::Bytes;

struct Case {
  Bytes source;
  Bytes patch;
  std::uint64_t copies = 0;
  std::uint64_t literals = 0;
  std::uint64_t reach = 0;
};

// Copies and literals of every opcode, with a header block of random length.
Case MakeCase(std::uint32_t seed) {
  Case made;
  std::uint32_t state = seed;
  auto next = [&](std::uint32_t bound) {
    state = state * 1664525u + 1013904223u;
    return (state >> 8) % bound;
  };
  made.source = testing::Pattern(1000 + next(70000), seed);
  Bytes target;
  Bytes stream;
  const int instructions = static_cast<int>(next(40));
  for (int i = 0; i < instructions; ++i) {
    Bytes instruction;
    if (next(2) == 0) {
      const std::uint32_t length = next(900);
      const std::uint32_t offset = next(static_cast<std::uint32_t>(made.source.size()) - length + 1);
      std::vector<std::uint8_t> fitting;  // the copy opcodes whose operands hold offset and length
      for (std::uint8_t opcode = 0xF9; opcode <= 0xFE; ++opcode) {
        const auto& widths = testing::kCopyWidths[opcode - 0xF9];
        if (std::uint64_t{offset} >> (8 * widths[0]) == 0 && std::uint64_t{length} >> (8 * widths[1]) == 0) {
          fitting.push_back(opcode);
        }
      }
      instruction = testing::Copy(fitting[next(static_cast<std::uint32_t>(fitting.size()))], offset, length);
      target.insert(target.end(), made.source.begin() + offset, made.source.begin() + offset + length);
      ++made.copies;
      made.reach = std::max<std::uint64_t>(made.reach, offset + length);
    } else {
      const Bytes literal = testing::Pattern(next(400), state);
      instruction = literal.size() <= 0xF6 && !literal.empty()
                        ? testing::ShortLiteral(literal)
                        : testing::LongLiteral(next(2) ? 0xF7 : 0xF8, literal.size(), literal);
      target.insert(target.end(), literal.begin(), literal.end());
      ++made.literals;
    }
    stream.insert(stream.end(), instruction.begin(), instruction.end());
  }
  testing::PatchFields fields;
  fields.header_block = testing::Pattern(next(3) == 0 ? next(200) : 0, seed + 1);
  fields.source_crc = Crc32(made.source);
  fields.target_crc = Crc32(target);
  made.patch = testing::BuildPatch(fields, {stream});
  return made;
}

struct Inspected {
  std::int32_t code;
  std::string message;
  varnock_patch_info info;
};

Inspected InspectMemory(varnock_context* context, const Bytes& patch, std::int32_t scope) {
  Inspected inspected{};
  inspected.code = varnock_inspect_patch(context, patch.data(), patch.size(), scope, &inspected.info);
  inspected.message = varnock_error_message(context);
  return inspected;
}

// Read by ranges of at most 1000 bytes; `furthest` is the end of the furthest range asked for.
Inspected InspectRanges(varnock_context* context, const Bytes& patch, std::int32_t scope,
                        std::uint64_t* furthest) {
  struct Reader {
    testing::RangedBytes input;
    std::uint64_t furthest = 0;
    static std::int64_t Read(void* self, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
      auto& reader = *static_cast<Reader*>(self);
      reader.furthest = std::max<std::uint64_t>(reader.furthest, offset + size);
      return testing::RangedBytes::Read(&reader.input, offset, buffer, size);
    }
  } reader{{&patch, 1000}};
  Inspected inspected{};
  inspected.code =
      varnock_inspect_patch_ranges(context, Reader::Read, &reader, patch.size(), scope, &inspected.info);
  inspected.message = varnock_error_message(context);
  *furthest = reader.furthest;
  return inspected;
}

// Whether the patch magic appears in the patch's head past the shortest header.
bool HoldsPatchMagic(const Bytes& patch) {
  static constexpr std::uint8_t kMagic[] = {0xD1, 0xFF, 0xD1, 0xFF};
  if (patch.size() < 12) return false;
  const auto end =
      patch.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(patch.size(), 0xFFFF + 5));
  return std::search(patch.begin() + 12, end, std::begin(kMagic), std::end(kMagic)) != end;
}

void ExpectAgreesWithApplying(varnock_context* context, const Case& made, const Bytes& patch) {
  const testing::Outcome applied = testing::ApplyMemory(context, made.source, patch);
  std::uint64_t furthest = 0;
  const Inspected scanned = InspectMemory(context, patch, VARNOCK_INFO_SCAN);
  const Inspected ranged = InspectRanges(context, patch, VARNOCK_INFO_SCAN, &furthest);
  EXPECT_EQ(ranged.code, scanned.code);
  EXPECT_EQ(std::memcmp(&ranged.info, &scanned.info, sizeof scanned.info), 0);
  std::string named_as_ranged = scanned.message;
  if (scanned.code == VARNOCK_ERROR_NOT_A_PATCH) named_as_ranged.replace(0, 8, "<patch>");
  EXPECT_EQ(ranged.message, named_as_ranged);
  if (applied.code == VARNOCK_OK || applied.code == VARNOCK_ERROR_TARGET_CHECKSUM) {
    // A damaged patch may still be well-formed: then it describes itself.
    ASSERT_EQ(scanned.code, VARNOCK_OK) << scanned.message;
    EXPECT_EQ(scanned.info.kind, VARNOCK_KIND_RAW);
    EXPECT_EQ(scanned.info.known, VARNOCK_INFO_CHECKSUMS | VARNOCK_INFO_TARGET_SIZE | VARNOCK_INFO_COUNTS);
    EXPECT_EQ(scanned.info.bytes_copied + scanned.info.bytes_carried, scanned.info.target_size);
    EXPECT_LE(scanned.info.source_reach, made.source.size());
    if (applied.code == VARNOCK_OK) {
      EXPECT_EQ(scanned.info.target_size, applied.target.size());
      EXPECT_EQ(scanned.info.source_crc, Crc32(made.source));
      EXPECT_EQ(scanned.info.target_crc, Crc32(applied.target));
    }
  } else if (applied.code == VARNOCK_ERROR_SOURCE_CHECKSUM) {
    // Applying stops before the magic; without a source the checks go on.
    EXPECT_NE(scanned.code, VARNOCK_ERROR_NO_HEADER);
    EXPECT_NE(scanned.code, VARNOCK_ERROR_HEADER_CORRUPTED);
  } else if (applied.code == VARNOCK_ERROR_SEEK_BEYOND_SOURCE) {
    // Applying stops at the copy; scanning goes on to the next fault, if any.
    if (scanned.code == VARNOCK_OK) {
      EXPECT_GT(scanned.info.source_reach, made.source.size());
    }
  } else if (applied.code == VARNOCK_ERROR_HEADER_CORRUPTED && !HoldsPatchMagic(patch)) {
    // No magic, no patch: a header cut off before it is told as a file of
    // another kind.
    EXPECT_EQ(scanned.code, VARNOCK_ERROR_NOT_A_PATCH);
  } else {
    EXPECT_EQ(scanned.code, applied.code);
    EXPECT_EQ(scanned.message, applied.message);
    varnock_patch_info zeros{};
    EXPECT_EQ(std::memcmp(&scanned.info, &zeros, sizeof zeros), 0);
  }
}

TEST(InspectPatch, AgreesWithApplyingOnWellFormedAndDamagedPatches) {
  auto context = testing::NewContext();
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    const Case made = MakeCase(seed);
    ExpectAgreesWithApplying(context.get(), made, made.patch);
    const Inspected scanned = InspectMemory(context.get(), made.patch, VARNOCK_INFO_SCAN);
    EXPECT_EQ(scanned.info.copies, made.copies);
    EXPECT_EQ(scanned.info.literals, made.literals);
    EXPECT_EQ(scanned.info.source_reach, made.reach);
    for (std::size_t cut = 0; cut < made.patch.size(); cut += 1 + made.patch.size() / 23) {
      ExpectAgreesWithApplying(
          context.get(), made,
          Bytes(made.patch.begin(), made.patch.begin() + static_cast<std::ptrdiff_t>(cut)));
    }
    for (std::size_t at = 0; at < made.patch.size(); at += 1 + made.patch.size() / 31) {
      Bytes flipped = made.patch;
      flipped[at] ^= static_cast<std::uint8_t>(1 + seed % 255);
      ExpectAgreesWithApplying(context.get(), made, flipped);
    }
  }
}

TEST(InspectPatch, TheHeaderAloneIsReadFromTheHeadAndTellsTheChecksums) {
  auto context = testing::NewContext();
  testing::PatchFields fields;
  fields.header_block = Bytes(300, 7);
  fields.source_crc = 0x12345678;
  fields.target_crc = 0x9ABCDEF0;
  const Bytes long_literal(200000, 1);
  const Bytes patch =
      testing::BuildPatch(fields, {testing::LongLiteral(0xF8, long_literal.size(), long_literal)});
  std::uint64_t furthest = 0;
  const Inspected header = InspectRanges(context.get(), patch, VARNOCK_INFO_HEADER, &furthest);
  ASSERT_EQ(header.code, VARNOCK_OK) << header.message;
  EXPECT_LE(furthest, 0xFFFFu + 5);
  EXPECT_EQ(header.info.known, VARNOCK_INFO_CHECKSUMS);
  EXPECT_EQ(header.info.source_crc, 0x12345678u);
  EXPECT_EQ(header.info.target_crc, 0x9ABCDEF0u);
  EXPECT_EQ(header.info.target_size, 0u);
  const Inspected scanned = InspectRanges(context.get(), patch, VARNOCK_INFO_SCAN, &furthest);
  EXPECT_EQ(scanned.info.target_size, long_literal.size());
  EXPECT_EQ(scanned.info.bytes_carried, long_literal.size());
  EXPECT_EQ(furthest, patch.size());
}

// `line` repeated to 64 KiB, as release notes given as the patch would be.
Bytes TextFile(const std::string& line) {
  Bytes text;
  while (text.size() < 65536) text.insert(text.end(), line.begin(), line.end());
  text.resize(65536);
  return text;
}

// A file without the patch magic is no patch, whatever its first bytes spell
// as a header: inspecting must say so before anything about a source, where
// applying a raw patch checks the source's CRC-32 first. One with the magic
// is a patch, damaged or cut short.
TEST(InspectPatch, SaysWhatAFileIsBeforeAnythingItsHeaderSpells) {
  const Bytes real = MakeCase(7).patch;
  ASSERT_GT(real.size(), std::size_t{real[0]} + 5 + 40);
  Bytes header_hit = real;
  header_hit[3] ^= 0x40;  // the header block's length now exceeds the header's
  Bytes spelled = testing::Pattern(70000, 3);
  spelled[0] = 200;  // a 200-byte header, no header block, and no magic after it
  spelled[1] = spelled[2] = spelled[3] = 0;
  Bytes overlong = testing::Pattern(3000, 4);
  overlong[0] = overlong[1] = 0xF0;  // a header longer than the file
  overlong[2] = overlong[3] = 0;
  struct Row {
    const char* what;
    Bytes patch;
    std::int32_t header_code;
    std::int32_t scan_code;
  };
  const Row rows[] = {
      // "Ap" + "pl": a header of 28,737 bytes holding a block of 27,760.
      {"text whose first bytes pass the header's checks",
       TextFile("Apply game-1.0-to-1.1.patch to game-1.0.\n"), VARNOCK_ERROR_NOT_A_PATCH,
       VARNOCK_ERROR_NOT_A_PATCH},
      // "Re" + "le": a header shorter than the block it claims.
      {"text whose first bytes fail the header's checks", TextFile("Release notes, version 2.4\n"),
       VARNOCK_ERROR_NOT_A_PATCH, VARNOCK_ERROR_NOT_A_PATCH},
      {"random bytes behind a valid-looking header", spelled, VARNOCK_ERROR_NOT_A_PATCH,
       VARNOCK_ERROR_NOT_A_PATCH},
      {"random bytes whose header is longer than the file", overlong, VARNOCK_ERROR_NOT_A_PATCH,
       VARNOCK_ERROR_NOT_A_PATCH},
      {"a real patch cut inside its header", Bytes(real.begin(), real.begin() + 10),
       VARNOCK_ERROR_NOT_A_PATCH, VARNOCK_ERROR_NOT_A_PATCH},
      {"a real patch cut short of its end", Bytes(real.begin(), real.end() - 40), VARNOCK_OK,
       VARNOCK_ERROR_UNEXPECTED_END},
      {"a real patch whose block length was hit", header_hit, VARNOCK_ERROR_HEADER_CORRUPTED,
       VARNOCK_ERROR_HEADER_CORRUPTED},
  };
  auto context = testing::NewContext();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const auto& [scope, expected] :
         {std::pair{VARNOCK_INFO_HEADER, row.header_code}, std::pair{VARNOCK_INFO_SCAN, row.scan_code}}) {
      const Inspected inspected = InspectMemory(context.get(), row.patch, scope);
      EXPECT_EQ(inspected.code, expected) << inspected.message;
      if (expected == VARNOCK_ERROR_NOT_A_PATCH) {
        EXPECT_EQ(inspected.message, "<memory> is not a patch");
      }
      std::uint64_t furthest = 0;
      EXPECT_EQ(InspectRanges(context.get(), row.patch, scope, &furthest).code, expected);
    }
  }
}

TEST(InspectPatch, RefusesBadArguments) {
  auto context = testing::NewContext();
  const Bytes patch = testing::BuildPatch({}, {});
  varnock_patch_info info{};
  EXPECT_EQ(varnock_inspect_patch(context.get(), patch.data(), patch.size(), 2, &info),
            VARNOCK_ERROR_BAD_ARGUMENT);
  EXPECT_EQ(varnock_inspect_patch(context.get(), patch.data(), patch.size(), VARNOCK_INFO_SCAN, nullptr),
            VARNOCK_ERROR_BAD_ARGUMENT);
  EXPECT_EQ(varnock_inspect_patch(context.get(), nullptr, 1, VARNOCK_INFO_SCAN, &info),
            VARNOCK_ERROR_BAD_ARGUMENT);
  EXPECT_EQ(varnock_inspect_patch_ranges(context.get(), nullptr, nullptr, 1, VARNOCK_INFO_SCAN, &info),
            VARNOCK_ERROR_BAD_ARGUMENT);
}

}  // namespace
}  // namespace varnock
