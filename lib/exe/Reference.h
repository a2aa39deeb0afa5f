// References: the bytes of an instruction or a pointer that name another
// address of the image. Decode and Encode are exact inverses on every field
// Decode accepts, so that a field re-encoded for its own location and target
// comes back byte for byte.
#pragma once

#include <cstdint>
#include <optional>

#include "exe/LittleEndian.h"

namespace varnock::exe {

enum class ReferenceKind : std::uint8_t {
  kRel32,          // x86 call/jmp/jcc rel32 and x86-64 RIP-relative disp32: target = field end + disp
  kAbs32,          // a 32-bit absolute address listed by a relocation
  kAbs64,          // a 64-bit absolute address listed by a relocation
  kArm64Branch26,  // AArch64 B and BL
  kArm64Adrp,      // AArch64 ADRP: the target's 4 KiB page
  kArm64AddLo12,   // AArch64 ADD (immediate, unshifted) after an ADRP: the target's low 12 bits
  // AArch64 LDR/STR (unsigned offset, any size) after an ADRP: the low 12
  // bits, scaled by the access size the instruction's own bits give.
  kArm64LoadStoreLo12,
  kArm32Branch24,  // ARM-state B and BL (and BLX immediate)
  kThumb2Branch,   // Thumb-2 BL, B.W (unconditional) and BLX immediate
};

struct Reference {
  std::uint64_t location = 0;  // file offset of the field's first byte
  std::uint64_t target_va = 0;
  ReferenceKind kind = ReferenceKind::kRel32;

  friend bool operator==(const Reference&, const Reference&) = default;
};

// Bytes the field of a `kind` reference occupies at its location: 8 for
// kAbs64, 4 for every other kind. Inline: the prediction asks it of every
// reference near every literal.
constexpr std::uint32_t FieldWidth(ReferenceKind kind) { return kind == ReferenceKind::kAbs64 ? 8 : 4; }

// The target that the FieldWidth(kind) bytes at `field`, loaded at
// `location_va`, name; std::nullopt where those bytes are not an instruction
// of that kind (or name no address, such as a shifted ADD).
std::optional<std::uint64_t> Decode(ReferenceKind kind, const std::uint8_t* field, std::uint64_t location_va);

// Decode of a kRel32 field: the end of the field plus its displacement,
// where that neither wraps below 0 nor past 2^64. Inline for the x86 scan,
// which asks it of every candidate.
inline std::optional<std::uint64_t> DecodeRel32(const std::uint8_t* field, std::uint64_t location_va) {
  if (location_va > UINT64_MAX - 4) return std::nullopt;
  const std::uint64_t base = location_va + 4;
  const auto displacement = static_cast<std::int32_t>(Load32(field));
  if (displacement >= 0) {
    const auto up = static_cast<std::uint64_t>(displacement);
    if (up > UINT64_MAX - base) return std::nullopt;
    return base + up;
  }
  const std::uint64_t down = std::uint64_t{0} - static_cast<std::uint64_t>(std::int64_t{displacement});
  if (down > base) return std::nullopt;
  return base - down;
}

// Writes to `out` the FieldWidth(kind) bytes a `kind` reference at
// `location_va` to `target_va` has, with every bit that is not address
// (opcode, registers, condition, access size) taken from `original`, the
// field as the source had it. Returns false, leaving `out` unspecified, where
// the target cannot be encoded: out of range or misaligned for the
// instruction. `original` and `out` may be the same bytes.
bool Encode(ReferenceKind kind, const std::uint8_t* original, std::uint64_t location_va,
            std::uint64_t target_va, std::uint8_t* out);

}  // namespace varnock::exe
