// An executable's layout as its own headers give it: little-endian ELF32 and
// ELF64 (x86, x86-64, ARM, AArch64) and PE32/PE32+ (x86, x64, ARM64). The
// maker and the applier both parse the source file with it, so everything it
// yields is a function of the file's bytes alone.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace varnock::exe {

using ByteSpan = std::span<const std::uint8_t>;

enum class Machine : std::uint8_t { kX86, kX64, kArm32, kArm64 };
enum class Format : std::uint8_t { kElf, kPe };

// `size` bytes of the file from `offset`, loaded at `va`; a region's memory
// may run on past its file bytes (zero-filled data) to `va + memory_size`.
struct Section {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t va = 0;
  std::uint64_t memory_size = 0;
  bool executable = false;
};

enum class RelocationTableFormat : std::uint8_t { kElfRel, kElfRela, kElfRelr, kPeBase };

// A table of relocations, wholly inside the file.
struct RelocationTable {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  RelocationTableFormat format = RelocationTableFormat::kElfRel;
  std::uint32_t entry_bytes = 0;
};

class Image {
 public:
  // std::nullopt for anything but the executables named above, and for one
  // whose headers contradict themselves or the file's length: a region or code
  // range outside the file, regions overlapping in the file or in memory, an
  // address range that wraps, a code range that its region does not load at
  // the address it claims. Never throws on malformed input and reads
  // nothing outside `file`.
  static std::optional<Image> Parse(ByteSpan file);

  Machine machine() const { return machine_; }
  Format format() const { return format_; }
  // Bytes in an absolute pointer: 4 for ELF32 and PE32, 8 otherwise.
  std::uint32_t word_bytes() const { return word_bytes_; }
  // PE: the address the image is linked to load at, which its absolute
  // pointers include; ELF: 0.
  std::uint64_t image_base() const { return image_base_; }

  // The loaded address of file offset `offset`, where a region holds it.
  std::optional<std::uint64_t> VaOf(std::uint64_t offset) const;
  // The file offset of `va` where `width` bytes from it are file bytes of one
  // region (width 1 asks for the address alone).
  std::optional<std::uint64_t> OffsetOf(std::uint64_t va, std::uint64_t width = 1) const;
  // Whether `va` lies in the loaded image, zero-filled parts included.
  bool InImage(std::uint64_t va) const;
  // Whether `va` lies in one of code().
  bool InCode(std::uint64_t va) const;

  // The loaded regions, in increasing address order; disjoint in memory and
  // in the file.
  const std::vector<Section>& regions() const { return regions_; }
  // The stretches scanned for code references (ELF: executable sections, or
  // executable segments when the file has no section headers; PE: executable
  // sections), in increasing offset order, disjoint, wholly inside the file.
  const std::vector<Section>& code() const { return code_; }
  const std::vector<RelocationTable>& relocation_tables() const { return relocation_tables_; }

  // The bytes the image holds beyond its own size.
  std::size_t MemoryBytes() const;

 private:
  struct Interval {
    std::uint64_t begin;
    std::uint64_t end;
  };

  bool Finish();
  static std::optional<Image> ParseElf(ByteSpan file);
  static std::optional<Image> ParsePe(ByteSpan file);

  Machine machine_ = Machine::kX64;
  Format format_ = Format::kElf;
  std::uint32_t word_bytes_ = 8;
  std::uint64_t image_base_ = 0;
  std::vector<Section> regions_;
  std::vector<Section> regions_by_offset_;
  std::vector<Section> code_;
  std::vector<Interval> code_addresses_;
  std::vector<RelocationTable> relocation_tables_;
};

// The lookups are inline: the finder and the prediction ask them of every
// reference.
inline std::optional<std::uint64_t> Image::VaOf(std::uint64_t offset) const {
  auto after = std::upper_bound(regions_by_offset_.begin(), regions_by_offset_.end(), offset,
                                [](std::uint64_t value, const Section& s) { return value < s.offset; });
  if (after == regions_by_offset_.begin()) return std::nullopt;
  const Section& region = *(after - 1);
  if (offset - region.offset >= region.size) return std::nullopt;
  return region.va + (offset - region.offset);
}

inline std::optional<std::uint64_t> Image::OffsetOf(std::uint64_t va, std::uint64_t width) const {
  auto after = std::upper_bound(regions_.begin(), regions_.end(), va,
                                [](std::uint64_t value, const Section& s) { return value < s.va; });
  if (after == regions_.begin()) return std::nullopt;
  const Section& region = *(after - 1);
  const std::uint64_t into = va - region.va;
  if (into >= region.size || width > region.size - into) return std::nullopt;
  return region.offset + into;
}

inline bool Image::InImage(std::uint64_t va) const {
  auto after = std::upper_bound(regions_.begin(), regions_.end(), va,
                                [](std::uint64_t value, const Section& s) { return value < s.va; });
  return after != regions_.begin() && va - (after - 1)->va < (after - 1)->memory_size;
}

inline bool Image::InCode(std::uint64_t va) const {
  auto after = std::upper_bound(code_addresses_.begin(), code_addresses_.end(), va,
                                [](std::uint64_t value, const Interval& i) { return value < i.begin; });
  return after != code_addresses_.begin() && va < (after - 1)->end;
}

}  // namespace varnock::exe
