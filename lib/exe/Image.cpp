#include "exe/Image.h"

#include <algorithm>
#include <tuple>

#include "exe/LittleEndian.h"

namespace varnock::exe {
namespace {

bool Fits(ByteSpan file, std::uint64_t offset, std::uint64_t length) {
  return offset <= file.size() && length <= file.size() - offset;
}

// Whether [start, start + length) wraps past 2^64.
bool Wraps(std::uint64_t start, std::uint64_t length) { return length > UINT64_MAX - start; }

namespace elf {
constexpr std::uint16_t kMachine386 = 3;
constexpr std::uint16_t kMachineArm = 40;
constexpr std::uint16_t kMachineX8664 = 62;
constexpr std::uint16_t kMachineAarch64 = 183;
constexpr std::uint32_t kLoad = 1;
constexpr std::uint32_t kDynamic = 2;
constexpr std::uint32_t kSegmentExecute = 1;
constexpr std::uint32_t kNoBits = 8;
constexpr std::uint64_t kSectionAlloc = 2;
constexpr std::uint64_t kSectionExecute = 4;
constexpr std::int64_t kDtNull = 0;
constexpr std::int64_t kDtPltRelSize = 2;
constexpr std::int64_t kDtRela = 7;
constexpr std::int64_t kDtRelaSize = 8;
constexpr std::int64_t kDtRelaEntry = 9;
constexpr std::int64_t kDtRel = 17;
constexpr std::int64_t kDtRelSize = 18;
constexpr std::int64_t kDtRelEntry = 19;
constexpr std::int64_t kDtPltRel = 20;
constexpr std::int64_t kDtJmpRel = 23;
constexpr std::int64_t kDtRelrSize = 35;
constexpr std::int64_t kDtRelr = 36;
}  // namespace elf

namespace pe {
constexpr std::uint16_t kMachineI386 = 0x14C;
constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMachineArm64 = 0xAA64;
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kBaseRelocationDirectory = 5;
constexpr std::uint64_t kSectionHeaderBytes = 40;
}  // namespace pe

// Sorts `sections` by `key` and says whether each [key, key + length) ends at
// or before the next one's start.
template <typename Key, typename Length>
bool SortDisjoint(std::vector<Section>& sections, Key key, Length length) {
  std::sort(sections.begin(), sections.end(), [&](const Section& a, const Section& b) {
    return std::tuple(key(a), length(a), a.va, a.offset) < std::tuple(key(b), length(b), b.va, b.offset);
  });
  for (std::size_t i = 1; i < sections.size(); ++i) {
    if (length(sections[i - 1]) > key(sections[i]) - key(sections[i - 1])) return false;
  }
  return true;
}

}  // namespace

std::optional<Image> Image::Parse(ByteSpan file) {
  if (file.size() >= 4 && file[0] == 0x7F && file[1] == 'E' && file[2] == 'L' && file[3] == 'F') {
    return ParseElf(file);
  }
  if (file.size() >= 2 && file[0] == 'M' && file[1] == 'Z') return ParsePe(file);
  return std::nullopt;
}

std::optional<Image> Image::ParseElf(ByteSpan file) {
  if (file.size() < 52) return std::nullopt;
  const std::uint8_t* header = file.data();
  const bool is64 = header[4] == 2;
  if ((header[4] != 1 && !is64) || header[5] != 1 || header[6] != 1) return std::nullopt;
  if (is64 && file.size() < 64) return std::nullopt;
  const std::uint16_t type = Load16(header + 16);
  if (type != 2 && type != 3) return std::nullopt;  // executables and shared objects only

  Image image;
  image.format_ = Format::kElf;
  image.word_bytes_ = is64 ? 8 : 4;
  switch (Load16(header + 18)) {
    case elf::kMachine386:
      image.machine_ = Machine::kX86;
      break;
    case elf::kMachineX8664:
      image.machine_ = Machine::kX64;
      break;
    case elf::kMachineArm:
      image.machine_ = Machine::kArm32;
      break;
    case elf::kMachineAarch64:
      image.machine_ = Machine::kArm64;
      break;
    default:
      return std::nullopt;
  }
  const bool wants64 = image.machine_ == Machine::kX64 || image.machine_ == Machine::kArm64;
  if (wants64 != is64) return std::nullopt;

  const std::uint64_t program_offset = is64 ? Load64(header + 32) : Load32(header + 28);
  const std::uint64_t section_offset = is64 ? Load64(header + 40) : Load32(header + 32);
  const std::uint64_t program_entry = Load16(header + (is64 ? 54 : 42));
  const std::uint64_t program_count = Load16(header + (is64 ? 56 : 44));
  const std::uint64_t section_entry = Load16(header + (is64 ? 58 : 46));
  std::uint64_t section_count = Load16(header + (is64 ? 60 : 48));
  if (program_count == 0xFFFF) return std::nullopt;  // extended numbering: never seen in an executable
  if (program_count > 0 &&
      (program_entry < (is64 ? 56u : 32u) || !Fits(file, program_offset, program_count * program_entry))) {
    return std::nullopt;
  }

  std::uint64_t dynamic_offset = 0;
  std::uint64_t dynamic_size = 0;
  for (std::uint64_t i = 0; i < program_count; ++i) {
    const std::uint8_t* entry = file.data() + program_offset + i * program_entry;
    const std::uint32_t kind = Load32(entry);
    const std::uint32_t flags = is64 ? Load32(entry + 4) : Load32(entry + 24);
    const std::uint64_t offset = is64 ? Load64(entry + 8) : Load32(entry + 4);
    const std::uint64_t va = is64 ? Load64(entry + 16) : Load32(entry + 8);
    const std::uint64_t file_size = is64 ? Load64(entry + 32) : Load32(entry + 16);
    const std::uint64_t memory_size = is64 ? Load64(entry + 40) : Load32(entry + 20);
    if (kind == elf::kDynamic) {
      if (!Fits(file, offset, file_size)) return std::nullopt;
      dynamic_offset = offset;
      dynamic_size = file_size;
    }
    if (kind != elf::kLoad || memory_size == 0) continue;
    if (file_size > memory_size || !Fits(file, offset, file_size) || Wraps(va, memory_size)) {
      return std::nullopt;
    }
    image.regions_.push_back({offset, file_size, va, memory_size, (flags & elf::kSegmentExecute) != 0});
  }

  if (section_offset != 0) {
    if (section_entry < (is64 ? 64u : 40u) || !Fits(file, section_offset, section_entry)) return std::nullopt;
    // With more than 0xFF00 sections, section 0's size holds the count.
    if (section_count == 0) {
      section_count =
          is64 ? Load64(file.data() + section_offset + 32) : Load32(file.data() + section_offset + 20);
    }
    if (section_count > file.size() / section_entry ||
        !Fits(file, section_offset, section_count * section_entry)) {
      return std::nullopt;
    }
  } else {
    section_count = 0;
  }
  for (std::uint64_t i = 0; i < section_count; ++i) {
    const std::uint8_t* entry = file.data() + section_offset + i * section_entry;
    const std::uint32_t kind = Load32(entry + 4);
    const std::uint64_t flags = is64 ? Load64(entry + 8) : Load32(entry + 8);
    const std::uint64_t va = is64 ? Load64(entry + 16) : Load32(entry + 12);
    const std::uint64_t offset = is64 ? Load64(entry + 24) : Load32(entry + 16);
    const std::uint64_t size = is64 ? Load64(entry + 32) : Load32(entry + 20);
    const std::uint64_t wanted = elf::kSectionAlloc | elf::kSectionExecute;
    if (kind == elf::kNoBits || (flags & wanted) != wanted || size == 0) continue;
    if (!Fits(file, offset, size) || Wraps(va, size)) return std::nullopt;
    image.code_.push_back({offset, size, va, size, true});
  }
  if (section_count == 0) {
    for (const Section& region : image.regions_) {
      if (region.executable && region.size > 0)
        image.code_.push_back({region.offset, region.size, region.va, region.size, true});
    }
  }
  if (!image.Finish()) return std::nullopt;

  // The dynamic table names the relocation tables by address.
  const std::uint64_t dynamic_entry = is64 ? 16 : 8;
  struct {
    std::uint64_t rela = 0, rela_size = 0, rela_entry = 0, rel = 0, rel_size = 0, rel_entry = 0;
    std::uint64_t jmprel = 0, plt_size = 0, plt_kind = 0, relr = 0, relr_size = 0;
  } dynamic;
  for (std::uint64_t at = 0; at + dynamic_entry <= dynamic_size; at += dynamic_entry) {
    const std::uint8_t* entry = file.data() + dynamic_offset + at;
    const std::int64_t tag = is64 ? static_cast<std::int64_t>(Load64(entry))
                                  : static_cast<std::int64_t>(static_cast<std::int32_t>(Load32(entry)));
    const std::uint64_t value = is64 ? Load64(entry + 8) : Load32(entry + 4);
    if (tag == elf::kDtNull) break;
    switch (tag) {
      case elf::kDtRela:
        dynamic.rela = value;
        break;
      case elf::kDtRelaSize:
        dynamic.rela_size = value;
        break;
      case elf::kDtRelaEntry:
        dynamic.rela_entry = value;
        break;
      case elf::kDtRel:
        dynamic.rel = value;
        break;
      case elf::kDtRelSize:
        dynamic.rel_size = value;
        break;
      case elf::kDtRelEntry:
        dynamic.rel_entry = value;
        break;
      case elf::kDtJmpRel:
        dynamic.jmprel = value;
        break;
      case elf::kDtPltRelSize:
        dynamic.plt_size = value;
        break;
      case elf::kDtPltRel:
        dynamic.plt_kind = value;
        break;
      case elf::kDtRelr:
        dynamic.relr = value;
        break;
      case elf::kDtRelrSize:
        dynamic.relr_size = value;
        break;
      default:
        break;
    }
  }
  const std::uint32_t rela_bytes = is64 ? 24 : 12;
  const std::uint32_t rel_bytes = is64 ? 16 : 8;
  // A table that is not wholly file bytes of one region is not read; the
  // image stays usable without it.
  auto add = [&](std::uint64_t va, std::uint64_t size, RelocationTableFormat format,
                 std::uint32_t entry_bytes) {
    if (va == 0 || size == 0) return;
    if (const auto offset = image.OffsetOf(va, size)) {
      image.relocation_tables_.push_back({*offset, size, format, entry_bytes});
    }
  };
  if (dynamic.rela_entry == 0 || dynamic.rela_entry == rela_bytes) {
    add(dynamic.rela, dynamic.rela_size, RelocationTableFormat::kElfRela, rela_bytes);
  }
  if (dynamic.rel_entry == 0 || dynamic.rel_entry == rel_bytes) {
    add(dynamic.rel, dynamic.rel_size, RelocationTableFormat::kElfRel, rel_bytes);
  }
  if (dynamic.plt_kind == elf::kDtRela)
    add(dynamic.jmprel, dynamic.plt_size, RelocationTableFormat::kElfRela, rela_bytes);
  if (dynamic.plt_kind == elf::kDtRel)
    add(dynamic.jmprel, dynamic.plt_size, RelocationTableFormat::kElfRel, rel_bytes);
  add(dynamic.relr, dynamic.relr_size, RelocationTableFormat::kElfRelr, image.word_bytes_);
  return image;
}

std::optional<Image> Image::ParsePe(ByteSpan file) {
  if (file.size() < 0x40) return std::nullopt;
  const std::uint64_t pe_offset = Load32(file.data() + 0x3C);
  if (!Fits(file, pe_offset, 24)) return std::nullopt;
  const std::uint8_t* coff = file.data() + pe_offset;
  if (coff[0] != 'P' || coff[1] != 'E' || coff[2] != 0 || coff[3] != 0) return std::nullopt;

  Image image;
  image.format_ = Format::kPe;
  switch (Load16(coff + 4)) {
    case pe::kMachineI386:
      image.machine_ = Machine::kX86;
      break;
    case pe::kMachineAmd64:
      image.machine_ = Machine::kX64;
      break;
    case pe::kMachineArm64:
      image.machine_ = Machine::kArm64;
      break;
    default:
      return std::nullopt;
  }
  const std::uint64_t section_count = Load16(coff + 6);
  const std::uint64_t optional_size = Load16(coff + 20);
  const std::uint64_t optional_offset = pe_offset + 24;
  if (!Fits(file, optional_offset, optional_size) || optional_size < 2) return std::nullopt;
  const std::uint8_t* optional = file.data() + optional_offset;
  const std::uint16_t magic = Load16(optional);
  if (magic != pe::kMagicPe32 && magic != pe::kMagicPe32Plus) return std::nullopt;
  const bool plus = magic == pe::kMagicPe32Plus;
  if (plus != (image.machine_ != Machine::kX86)) return std::nullopt;
  image.word_bytes_ = plus ? 8 : 4;
  const std::uint64_t directories_at = plus ? 112 : 96;
  if (optional_size < directories_at) return std::nullopt;
  const std::uint64_t image_base = plus ? Load64(optional + 24) : Load32(optional + 28);
  image.image_base_ = image_base;
  const std::uint64_t directory_count = Load32(optional + directories_at - 4);
  std::uint64_t relocations_rva = 0;
  std::uint64_t relocations_size = 0;
  if (directory_count > pe::kBaseRelocationDirectory &&
      directories_at + 8 * (pe::kBaseRelocationDirectory + 1) <= optional_size) {
    const std::uint8_t* directory = optional + directories_at + 8 * pe::kBaseRelocationDirectory;
    relocations_rva = Load32(directory);
    relocations_size = Load32(directory + 4);
  }

  const std::uint64_t table_offset = optional_offset + optional_size;
  if (!Fits(file, table_offset, section_count * pe::kSectionHeaderBytes)) return std::nullopt;
  for (std::uint64_t i = 0; i < section_count; ++i) {
    const std::uint8_t* entry = file.data() + table_offset + i * pe::kSectionHeaderBytes;
    const std::uint64_t virtual_size = Load32(entry + 8);
    const std::uint64_t rva = Load32(entry + 12);
    const std::uint64_t raw_size = Load32(entry + 16);
    const std::uint64_t raw_offset = Load32(entry + 20);
    const bool executable = (Load32(entry + 36) & pe::kSectionExecute) != 0;
    // Raw bytes past the virtual size are the file's alignment padding, not loaded.
    const std::uint64_t file_size = virtual_size == 0 ? raw_size : std::min(raw_size, virtual_size);
    const std::uint64_t memory_size = std::max(virtual_size, file_size);
    if (memory_size == 0) continue;
    if (Wraps(image_base, rva) || Wraps(image_base + rva, memory_size)) return std::nullopt;
    if (file_size > 0 && !Fits(file, raw_offset, file_size)) return std::nullopt;
    const Section section{file_size > 0 ? raw_offset : 0, file_size, image_base + rva, memory_size,
                          executable};
    image.regions_.push_back(section);
    if (executable && file_size > 0)
      image.code_.push_back({section.offset, file_size, section.va, file_size, true});
  }
  if (!image.Finish()) return std::nullopt;
  if (relocations_size > 0 && !Wraps(image_base, relocations_rva)) {
    if (const auto offset = image.OffsetOf(image_base + relocations_rva, relocations_size)) {
      image.relocation_tables_.push_back({*offset, relocations_size, RelocationTableFormat::kPeBase, 2});
    }
  }
  return image;
}

// Orders the regions and code ranges and refuses overlaps, so that every
// lookup below has one answer.
bool Image::Finish() {
  regions_by_offset_.clear();
  for (const Section& region : regions_) {
    if (region.size > 0) regions_by_offset_.push_back(region);
  }
  const auto by_va = [](const Section& s) { return s.va; };
  const auto by_offset = [](const Section& s) { return s.offset; };
  const auto memory = [](const Section& s) { return s.memory_size; };
  const auto bytes = [](const Section& s) { return s.size; };
  if (!SortDisjoint(regions_, by_va, memory) || !SortDisjoint(regions_by_offset_, by_offset, bytes) ||
      !SortDisjoint(code_, by_offset, bytes)) {
    return false;
  }
  // A code range's addresses are the ones its region gives its bytes, so that
  // the finder and VaOf agree on every location.
  for (const Section& range : code_) {
    if (OffsetOf(range.va, range.size) != range.offset) return false;
  }
  code_addresses_.clear();
  for (const Section& range : code_) code_addresses_.push_back({range.va, range.va + range.size});
  std::sort(code_addresses_.begin(), code_addresses_.end(), [](const Interval& a, const Interval& b) {
    return std::tie(a.begin, a.end) < std::tie(b.begin, b.end);
  });
  // Merged, so that a search finds the one interval that may hold an address.
  std::vector<Interval> merged;
  for (const Interval& interval : code_addresses_) {
    if (!merged.empty() && interval.begin <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, interval.end);
    } else {
      merged.push_back(interval);
    }
  }
  code_addresses_ = std::move(merged);
  return true;
}

std::size_t Image::MemoryBytes() const {
  return (regions_.capacity() + regions_by_offset_.capacity() + code_.capacity()) * sizeof(Section) +
         code_addresses_.capacity() * sizeof(Interval) +
         relocation_tables_.capacity() * sizeof(RelocationTable);
}

}  // namespace varnock::exe
