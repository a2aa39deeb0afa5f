// The kinds of file a patch is read from, told apart by their first bytes.
// None of the magics below can begin a raw patch: read as its two 16-bit
// fields, each gives a header size below the header block's length + 12,
// which a raw patch's header never has.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

namespace varnock {

enum class PatchKind : std::int32_t { kRaw = 1, kContainer = 2, kXz = 3, kZstd = 4 };

inline constexpr std::uint8_t kContainerMagic[8] = {0x76, 0x6E, 0xE3, 0xFC, 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr std::uint8_t kXzMagic[6] = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00};
inline constexpr std::uint8_t kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
// The most first bytes that PatchKindOf looks at.
inline constexpr std::size_t kLongestMagic = sizeof kContainerMagic;

// The kind of a patch whose first min(its length, kLongestMagic) bytes are `head`.
inline PatchKind PatchKindOf(std::span<const std::uint8_t> head) {
  const auto starts = [head](const auto& magic) {
    return head.size() >= std::size(magic) && std::equal(std::begin(magic), std::end(magic), head.begin());
  };
  if (starts(kContainerMagic)) return PatchKind::kContainer;
  if (starts(kXzMagic)) return PatchKind::kXz;
  if (starts(kZstdMagic)) return PatchKind::kZstd;
  return PatchKind::kRaw;
}

}  // namespace varnock
