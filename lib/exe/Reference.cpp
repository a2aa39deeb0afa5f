#include "exe/Reference.h"

#include "exe/LittleEndian.h"

namespace varnock::exe {
namespace {

std::int64_t SignExtend(std::uint64_t value, unsigned bits) {
  const std::uint64_t sign = std::uint64_t{1} << (bits - 1);
  value &= (sign << 1) - 1;
  return static_cast<std::int64_t>(value ^ sign) - static_cast<std::int64_t>(sign);
}

// `base + delta` where it neither wraps below 0 nor past 2^64.
std::optional<std::uint64_t> Offset(std::uint64_t base, std::int64_t delta) {
  if (delta >= 0) {
    const auto up = static_cast<std::uint64_t>(delta);
    if (up > UINT64_MAX - base) return std::nullopt;
    return base + up;
  }
  const std::uint64_t down = std::uint64_t{0} - static_cast<std::uint64_t>(delta);
  if (down > base) return std::nullopt;
  return base - down;
}

// `target - base` where it lies in [-2^(bits-1), 2^(bits-1)).
std::optional<std::int64_t> Displacement(std::uint64_t target, std::uint64_t base, unsigned bits) {
  const std::uint64_t half = std::uint64_t{1} << (bits - 1);
  if (target >= base) {
    if (target - base >= half) return std::nullopt;
    return static_cast<std::int64_t>(target - base);
  }
  if (base - target > half) return std::nullopt;
  return -static_cast<std::int64_t>(base - target);
}

constexpr std::uint64_t kPageMask = ~std::uint64_t{0xFFF};

bool IsArm64Branch26(std::uint32_t word) { return (word & 0x7C000000) == 0x14000000; }
bool IsArm64Adrp(std::uint32_t word) { return (word & 0x9F000000) == 0x90000000; }
// ADD (immediate), either width, flags untouched, imm12 unshifted.
bool IsArm64AddLo12(std::uint32_t word) { return (word & 0x7FC00000) == 0x11000000; }

// The log2 of the access size of an LDR/STR (unsigned offset), or -1 for
// any other word.
int Arm64LoadStoreScale(std::uint32_t word) {
  if ((word & 0x3B000000) != 0x39000000) return -1;
  const std::uint32_t size = word >> 30;
  const bool vector = (word >> 26) & 1;
  const std::uint32_t opc = (word >> 22) & 3;
  if (vector && (opc & 2)) return size == 0 ? 4 : -1;
  return static_cast<int>(size);
}

bool IsArm32Branch24(std::uint32_t word) { return (word & 0x0E000000) == 0x0A000000; }

// BL, B.W (the unconditional encoding), or BLX with its H bit clear.
bool IsThumb2Branch(std::uint16_t first, std::uint16_t second) {
  return (first & 0xF800) == 0xF000 && ((second & 0x9000) == 0x9000 || (second & 0xD001) == 0xC000);
}
bool IsThumb2Blx(std::uint16_t second) { return (second & 0x1000) == 0; }

}  // namespace

std::optional<std::uint64_t> Decode(ReferenceKind kind, const std::uint8_t* field,
                                    std::uint64_t location_va) {
  const std::uint32_t word = Load32(field);
  switch (kind) {
    case ReferenceKind::kRel32:
      return DecodeRel32(field, location_va);
    case ReferenceKind::kAbs32:
      return word;
    case ReferenceKind::kAbs64:
      return Load64(field);
    case ReferenceKind::kArm64Branch26:
      if (!IsArm64Branch26(word)) return std::nullopt;
      return Offset(location_va, SignExtend(word, 26) * 4);
    case ReferenceKind::kArm64Adrp: {
      if (!IsArm64Adrp(word)) return std::nullopt;
      const std::uint64_t pages = (((word >> 5) & 0x7FFFF) << 2) | ((word >> 29) & 3);
      return Offset(location_va & kPageMask, SignExtend(pages, 21) * 4096);
    }
    case ReferenceKind::kArm64AddLo12:
      if (!IsArm64AddLo12(word)) return std::nullopt;
      return (word >> 10) & 0xFFF;
    case ReferenceKind::kArm64LoadStoreLo12: {
      const int scale = Arm64LoadStoreScale(word);
      if (scale < 0) return std::nullopt;
      const std::uint64_t low = static_cast<std::uint64_t>((word >> 10) & 0xFFF) << scale;
      if (low > 0xFFF) return std::nullopt;
      return low;
    }
    case ReferenceKind::kArm32Branch24: {
      if (!IsArm32Branch24(word) || location_va > UINT64_MAX - 8) return std::nullopt;
      const bool blx = (word >> 28) == 0xF;
      const std::int64_t delta = SignExtend(word, 24) * 4 + (blx ? ((word >> 24) & 1) * 2 : 0);
      return Offset(location_va + 8, delta);
    }
    case ReferenceKind::kThumb2Branch: {
      const std::uint16_t first = Load16(field);
      const std::uint16_t second = Load16(field + 2);
      if (!IsThumb2Branch(first, second) || location_va > UINT64_MAX - 4) return std::nullopt;
      const std::uint32_t s = (first >> 10) & 1;
      const std::uint32_t i1 = 1 ^ ((second >> 13) & 1) ^ s;
      const std::uint32_t i2 = 1 ^ ((second >> 11) & 1) ^ s;
      const std::uint64_t bits = (static_cast<std::uint64_t>(s) << 24) | (i1 << 23) | (i2 << 22) |
                                 (static_cast<std::uint64_t>(first & 0x3FF) << 12) | ((second & 0x7FFu) << 1);
      const std::uint64_t base =
          IsThumb2Blx(second) ? (location_va + 4) & ~std::uint64_t{3} : location_va + 4;
      return Offset(base, SignExtend(bits, 25));
    }
  }
  return std::nullopt;
}

bool Encode(ReferenceKind kind, const std::uint8_t* original, std::uint64_t location_va,
            std::uint64_t target_va, std::uint8_t* out) {
  const std::uint32_t word = Load32(original);
  switch (kind) {
    case ReferenceKind::kRel32: {
      if (location_va > UINT64_MAX - 4) return false;
      const auto delta = Displacement(target_va, location_va + 4, 32);
      if (!delta) return false;
      Store32(out, static_cast<std::uint32_t>(*delta));
      return true;
    }
    case ReferenceKind::kAbs32:
      if (target_va > UINT32_MAX) return false;
      Store32(out, static_cast<std::uint32_t>(target_va));
      return true;
    case ReferenceKind::kAbs64:
      Store64(out, target_va);
      return true;
    case ReferenceKind::kArm64Branch26: {
      const auto delta = Displacement(target_va, location_va, 28);
      if (!IsArm64Branch26(word) || !delta || *delta % 4 != 0) return false;
      Store32(out, (word & 0xFC000000) | ((static_cast<std::uint32_t>(*delta) >> 2) & 0x03FFFFFF));
      return true;
    }
    case ReferenceKind::kArm64Adrp: {
      const auto delta = Displacement(target_va & kPageMask, location_va & kPageMask, 33);
      if (!IsArm64Adrp(word) || !delta) return false;
      const auto pages = static_cast<std::uint32_t>(static_cast<std::uint64_t>(*delta) >> 12);
      Store32(out, (word & 0x9F00001F) | ((pages & 3) << 29) | (((pages >> 2) & 0x7FFFF) << 5));
      return true;
    }
    case ReferenceKind::kArm64AddLo12:
      if (!IsArm64AddLo12(word)) return false;
      Store32(out, (word & 0xFFC003FF) | (static_cast<std::uint32_t>(target_va & 0xFFF) << 10));
      return true;
    case ReferenceKind::kArm64LoadStoreLo12: {
      const int scale = Arm64LoadStoreScale(word);
      const auto low = static_cast<std::uint32_t>(target_va & 0xFFF);
      if (scale < 0 || (low & ((1u << scale) - 1)) != 0) return false;
      Store32(out, (word & 0xFFC003FF) | ((low >> scale) << 10));
      return true;
    }
    case ReferenceKind::kArm32Branch24: {
      if (!IsArm32Branch24(word) || location_va > UINT64_MAX - 8) return false;
      const bool blx = (word >> 28) == 0xF;
      const auto delta = Displacement(target_va, location_va + 8, 26);
      if (!delta || *delta % (blx ? 2 : 4) != 0) return false;
      const auto bits = static_cast<std::uint32_t>(*delta);
      const std::uint32_t opcode = blx ? (word & 0xFE000000) | (((bits >> 1) & 1) << 24) : word & 0xFF000000;
      Store32(out, opcode | ((bits >> 2) & 0x00FFFFFF));
      return true;
    }
    case ReferenceKind::kThumb2Branch: {
      const std::uint16_t first = Load16(original);
      const std::uint16_t second = Load16(original + 2);
      if (!IsThumb2Branch(first, second) || location_va > UINT64_MAX - 4) return false;
      const bool blx = IsThumb2Blx(second);
      const std::uint64_t base = blx ? (location_va + 4) & ~std::uint64_t{3} : location_va + 4;
      const auto delta = Displacement(target_va, base, 25);
      if (!delta || *delta % (blx ? 4 : 2) != 0) return false;
      const auto bits = static_cast<std::uint32_t>(*delta);
      const std::uint32_t s = (bits >> 24) & 1;
      const std::uint32_t j1 = 1 ^ ((bits >> 23) & 1) ^ s;
      const std::uint32_t j2 = 1 ^ ((bits >> 22) & 1) ^ s;
      Store16(out, static_cast<std::uint16_t>(0xF000 | (s << 10) | ((bits >> 12) & 0x3FF)));
      Store16(out + 2, static_cast<std::uint16_t>((second & 0xD000) | (j1 << 13) | (j2 << 11) |
                                                  ((bits >> 1) & 0x7FF)));
      return true;
    }
  }
  return false;
}

}  // namespace varnock::exe
