// Guards against reference coding that disagrees with the assemblers (a wrong
// target read from real instructions), that loses bits or accepts a target the
// instruction cannot reach, and against Encode and Decode that are not inverses.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>

#include "exe/LittleEndian.h"
#include "exe/Reference.h"

namespace varnock::exe {
namespace {

using Field = std::array<std::uint8_t, 8>;

Field Word(std::uint32_t value) {
  Field field{};
  Store32(field.data(), value);
  return field;
}

// A Thumb-2 instruction as the disassembler prints it: first halfword, second.
Field Halfwords(std::uint16_t first, std::uint16_t second) {
  Field field{};
  Store16(field.data(), first);
  Store16(field.data() + 2, second);
  return field;
}

struct Known {
  const char* what;
  ReferenceKind kind;
  Field field;
  std::uint64_t location_va;
  std::uint64_t target;  // the low 12 bits for the lo12 kinds, the page for ADRP
};

// Instructions and their targets as the binutils disassemblers print them
// (the fixtures of tests/unit/data/exe and a few assembled lines).
const Known kKnown[] = {
    {"lea 0x1ba7(%rip),%rdx", ReferenceKind::kRel32, Word(0x00001BA7), 0x355, 0x1F00},
    {"call 0x66701260", ReferenceKind::kRel32, Word(0xFFFFFF7E), 0x667012DE, 0x66701260},
    {"b 3c0", ReferenceKind::kArm64Branch26, Word(0x17FFFFE1), 0x43C, 0x3C0},
    {"bl 654", ReferenceKind::kArm64Branch26, Word(0x97FFFFD8), 0x6F4, 0x654},
    {"b 700", ReferenceKind::kArm64Branch26, Word(0x14000007), 0x6E4, 0x700},
    {"adrp x2, 1000", ReferenceKind::kArm64Adrp, Word(0xB0000002), 0x3C4, 0x1000},
    {"adrp x3, 2000", ReferenceKind::kArm64Adrp, Word(0xD0000003), 0x3CC, 0x2000},
    {"add x2, x2, #0xee0", ReferenceKind::kArm64AddLo12, Word(0x913B8042), 0x3C8, 0xEE0},
    {"ldr w3, [x3, #80]", ReferenceKind::kArm64LoadStoreLo12, Word(0xB9405063), 0x3D0, 80},
    {"ldrb w1, [x2]", ReferenceKind::kArm64LoadStoreLo12, Word(0x39400041), 0x3DC, 0},
    {"ldr x1, [x2, #16]", ReferenceKind::kArm64LoadStoreLo12, Word(0xF9400841), 0, 16},
    {"ldr q0, [x1, #32]", ReferenceKind::kArm64LoadStoreLo12, Word(0x3DC00820), 0, 32},
    {"str w3, [x4, #8]", ReferenceKind::kArm64LoadStoreLo12, Word(0xB9000883), 0, 8},
    {"ldrsw x5, [x6, #12]", ReferenceKind::kArm64LoadStoreLo12, Word(0xB9800CC5), 0, 12},
    {"b 5c8", ReferenceKind::kArm32Branch24, Word(0xEA0000D7), 0x264, 0x5C8},
    {"blx a (arm to thumb)", ReferenceKind::kArm32Branch24, Word(0xFB000000), 0, 0xA},
    {"b.w 578", ReferenceKind::kThumb2Branch, Halfwords(0xF000, 0xB960), 0x2B4, 0x578},
    {"bl 47c", ReferenceKind::kThumb2Branch, Halfwords(0xF7FF, 0xFFC4), 0x4F0, 0x47C},
    {"bl 31c", ReferenceKind::kThumb2Branch, Halfwords(0xF7FF, 0xFEFC), 0x520, 0x31C},
    {"blx 3bc (thumb to arm)", ReferenceKind::kThumb2Branch, Halfwords(0xF7FF, 0xEDFA), 0x7C4, 0x3BC},
};

TEST(ExeReferenceCoding, DecodesWhatTheDisassemblerPrintsAndEncodesItBack) {
  for (const Known& known : kKnown) {
    SCOPED_TRACE(known.what);
    ASSERT_EQ(Decode(known.kind, known.field.data(), known.location_va), known.target);
    Field out{};
    ASSERT_TRUE(Encode(known.kind, known.field.data(), known.location_va, known.target, out.data()));
    EXPECT_EQ(out, known.field);
  }
}

struct Limit {
  const char* what;
  ReferenceKind kind;
  Field original;
  std::uint64_t location_va;
  std::uint64_t target;
  bool encodable;
};

constexpr std::uint64_t kAt = 1ull << 36;  // a location far from both ends of the address space

const Limit kLimits[] = {
    {"rel32 farthest forward", ReferenceKind::kRel32, {}, kAt, kAt + 4 + 0x7FFFFFFF, true},
    {"rel32 one past forward", ReferenceKind::kRel32, {}, kAt, kAt + 4 + 0x80000000, false},
    {"rel32 farthest back", ReferenceKind::kRel32, {}, kAt, kAt + 4 - 0x80000000, true},
    {"rel32 one past back", ReferenceKind::kRel32, {}, kAt, kAt + 4 - 0x80000001, false},
    {"rel32 below address 0", ReferenceKind::kRel32, {}, 0, UINT64_MAX, false},
    {"abs32 highest", ReferenceKind::kAbs32, {}, kAt, 0xFFFFFFFF, true},
    {"abs32 one past", ReferenceKind::kAbs32, {}, kAt, 0x100000000, false},
    {"b26 farthest forward", ReferenceKind::kArm64Branch26, Word(0x94000000), kAt, kAt + (1 << 27) - 4, true},
    {"b26 one past forward", ReferenceKind::kArm64Branch26, Word(0x94000000), kAt, kAt + (1 << 27), false},
    {"b26 farthest back", ReferenceKind::kArm64Branch26, Word(0x14000000), kAt, kAt - (1 << 27), true},
    {"b26 one past back", ReferenceKind::kArm64Branch26, Word(0x14000000), kAt, kAt - (1 << 27) - 4, false},
    {"b26 misaligned", ReferenceKind::kArm64Branch26, Word(0x94000000), kAt, kAt + 2, false},
    {"adrp farthest forward", ReferenceKind::kArm64Adrp, Word(0x90000000), kAt, kAt + (1ull << 32) - 1, true},
    {"adrp one past forward", ReferenceKind::kArm64Adrp, Word(0x90000000), kAt, kAt + (1ull << 32), false},
    {"adrp farthest back", ReferenceKind::kArm64Adrp, Word(0x90000000), 1ull << 33,
     (1ull << 33) - (1ull << 32), true},
    {"adrp one past back", ReferenceKind::kArm64Adrp, Word(0x90000000), 1ull << 33,
     (1ull << 33) - (1ull << 32) - 1, false},
    {"ldr x aligned", ReferenceKind::kArm64LoadStoreLo12, Word(0xF9400841), kAt, 0x1FF8, true},
    {"ldr x misaligned", ReferenceKind::kArm64LoadStoreLo12, Word(0xF9400841), kAt, 0x1FF4, false},
    {"ldr q misaligned", ReferenceKind::kArm64LoadStoreLo12, Word(0x3DC00820), kAt, 0x1008, false},
    {"add any low bits", ReferenceKind::kArm64AddLo12, Word(0x91000000), kAt, 0x1FFF, true},
    {"add shifted is no lo12", ReferenceKind::kArm64AddLo12, Word(0x91400000), kAt, 0x1000, false},
    {"arm bl farthest forward", ReferenceKind::kArm32Branch24, Word(0xEB000000), kAt, kAt + 8 + (1 << 25) - 4,
     true},
    {"arm bl one past forward", ReferenceKind::kArm32Branch24, Word(0xEB000000), kAt, kAt + 8 + (1 << 25),
     false},
    {"arm bl farthest back", ReferenceKind::kArm32Branch24, Word(0xEB000000), kAt, kAt + 8 - (1 << 25), true},
    {"arm bl misaligned", ReferenceKind::kArm32Branch24, Word(0xEB000000), kAt, kAt + 10, false},
    {"arm blx halfword", ReferenceKind::kArm32Branch24, Word(0xFA000000), kAt, kAt + 10, true},
    {"thumb bl farthest forward", ReferenceKind::kThumb2Branch, Halfwords(0xF000, 0xF800), kAt,
     kAt + 4 + (1 << 24) - 2, true},
    {"thumb bl one past forward", ReferenceKind::kThumb2Branch, Halfwords(0xF000, 0xF800), kAt,
     kAt + 4 + (1 << 24), false},
    {"thumb bl farthest back", ReferenceKind::kThumb2Branch, Halfwords(0xF000, 0xF800), kAt,
     kAt + 4 - (1 << 24), true},
    {"thumb bl odd", ReferenceKind::kThumb2Branch, Halfwords(0xF000, 0xF800), kAt, kAt + 5, false},
    {"thumb blx to a word", ReferenceKind::kThumb2Branch, Halfwords(0xF000, 0xE800), kAt + 2, kAt + 12, true},
    {"thumb blx to a halfword", ReferenceKind::kThumb2Branch, Halfwords(0xF000, 0xE800), kAt + 2, kAt + 14,
     false},
    {"not a branch", ReferenceKind::kArm64Branch26, Word(0xD503201F), kAt, kAt, false},
};

TEST(ExeReferenceCoding, AcceptsTargetsUpToTheReachAndRefusesOnePast) {
  for (const Limit& limit : kLimits) {
    SCOPED_TRACE(limit.what);
    Field out{};
    const bool encoded =
        Encode(limit.kind, limit.original.data(), limit.location_va, limit.target, out.data());
    ASSERT_EQ(encoded, limit.encodable);
    if (!encoded) continue;
    const auto decoded = Decode(limit.kind, out.data(), limit.location_va);
    ASSERT_TRUE(decoded.has_value());
    const std::uint64_t expected =
        limit.kind == ReferenceKind::kArm64Adrp ? limit.target & ~std::uint64_t{0xFFF}
        : limit.kind == ReferenceKind::kArm64LoadStoreLo12 || limit.kind == ReferenceKind::kArm64AddLo12
            ? limit.target & 0xFFF
            : limit.target;
    EXPECT_EQ(*decoded, expected);
  }
}

// Random instructions of each kind: whatever Decode reads, Encode writes back
// bit for bit, and whatever Encode writes for a new target, Decode reads as
// that target.
TEST(ExeReferenceCoding, EncodeAndDecodeAreInversesOnRandomInstructions) {
  struct Pattern {
    ReferenceKind kind;
    std::uint32_t fixed_mask;  // bits the kind's instructions have...
    std::uint32_t fixed;       // ...set to these
    std::uint64_t reach;       // targets tried lie within this of the location
  };
  const Pattern patterns[] = {
      {ReferenceKind::kRel32, 0, 0, 1ull << 31},
      {ReferenceKind::kAbs32, 0, 0, 1ull << 31},
      {ReferenceKind::kAbs64, 0, 0, 1ull << 31},
      {ReferenceKind::kArm64Branch26, 0x7C000000, 0x14000000, 1ull << 27},
      {ReferenceKind::kArm64Adrp, 0x9F000000, 0x90000000, 1ull << 32},
      {ReferenceKind::kArm64AddLo12, 0x7FC00000, 0x11000000, 1ull << 12},
      {ReferenceKind::kArm64LoadStoreLo12, 0x3B000000, 0x39000000, 1ull << 12},
      {ReferenceKind::kArm32Branch24, 0x0E000000, 0x0A000000, 1ull << 25},
      {ReferenceKind::kThumb2Branch, 0x9000F800, 0x9000F000, 1ull << 24},
  };
  std::mt19937_64 random(20240607);
  for (const Pattern& pattern : patterns) {
    SCOPED_TRACE(static_cast<int>(pattern.kind));
    int decoded_count = 0;
    int encoded_count = 0;
    for (int trial = 0; trial < 20000; ++trial) {
      Field original{};
      Store64(original.data(), random());
      Store32(original.data(), (Load32(original.data()) & ~pattern.fixed_mask) | pattern.fixed);
      // Within 32 bits, so that absolute 32-bit targets near it fit too.
      const std::uint64_t location = (1ull << 31) + random() % (1ull << 31);
      const std::uint64_t location_va =
          pattern.kind == ReferenceKind::kRel32 ? location : location & ~std::uint64_t{1};
      const std::size_t width = FieldWidth(pattern.kind);
      if (const auto target = Decode(pattern.kind, original.data(), location_va)) {
        ++decoded_count;
        Field out = original;
        // A lo12 field names only the low bits: any address with them will do.
        const std::uint64_t full =
            pattern.kind == ReferenceKind::kArm64AddLo12 || pattern.kind == ReferenceKind::kArm64LoadStoreLo12
                ? (location_va & ~std::uint64_t{0xFFF}) + *target
                : *target;
        ASSERT_TRUE(Encode(pattern.kind, original.data(), location_va, full, out.data()));
        ASSERT_TRUE(std::equal(out.begin(), out.begin() + width, original.begin()));
      }
      const std::uint64_t target = location_va - pattern.reach + random() % (2 * pattern.reach);
      Field out{};
      if (Encode(pattern.kind, original.data(), location_va, target, out.data())) {
        ++encoded_count;
        const auto decoded = Decode(pattern.kind, out.data(), location_va);
        ASSERT_TRUE(decoded.has_value());
        const std::uint64_t expected = pattern.kind == ReferenceKind::kArm64Adrp
                                           ? target & ~std::uint64_t{0xFFF}
                                       : pattern.kind == ReferenceKind::kArm64AddLo12 ||
                                               pattern.kind == ReferenceKind::kArm64LoadStoreLo12
                                           ? target & 0xFFF
                                           : target;
        ASSERT_EQ(*decoded, expected);
      }
    }
    // Most random instructions of a kind decode, and a fair share of targets
    // fit; a coder refusing everything would pass the loops above.
    EXPECT_GT(decoded_count, 2000);
    EXPECT_GT(encoded_count, 1000);
  }
}

}  // namespace
}  // namespace varnock::exe
