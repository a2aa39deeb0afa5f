#include "exe/ReferenceFinder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <initializer_list>
#include <iterator>
#include <tuple>

#include "exe/LittleEndian.h"

namespace varnock::exe {
namespace {

using Table = std::array<bool, 256>;

constexpr Table MakeTable(std::initializer_list<int> bytes) {
  Table table{};
  for (int byte : bytes) table[static_cast<std::size_t>(byte)] = true;
  return table;
}

// x86-64 opcodes that take a ModRM operand and no immediate, so that a
// RIP-relative displacement is the instruction's last four bytes: ALU
// operations, TEST, XCHG, MOV, LEA, MOVSXD, and FF's CALL, JMP and PUSH.
constexpr Table kOneByteRip =
    MakeTable({0x00, 0x01, 0x02, 0x03, 0x08, 0x09, 0x0A, 0x0B, 0x10, 0x11, 0x12, 0x13, 0x18, 0x19, 0x1A,
               0x1B, 0x20, 0x21, 0x22, 0x23, 0x28, 0x29, 0x2A, 0x2B, 0x30, 0x31, 0x32, 0x33, 0x38, 0x39,
               0x3A, 0x3B, 0x63, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x8B, 0x8D, 0xFF});
// The same after 0F: SSE moves and arithmetic, CMOVcc, IMUL, MOVZX, MOVSX.
constexpr Table kTwoByteRip =
    MakeTable({0x10, 0x11, 0x12, 0x13, 0x16, 0x17, 0x28, 0x29, 0x2A, 0x2C, 0x2D, 0x2E, 0x2F, 0x40, 0x41, 0x42,
               0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x51, 0x54, 0x55,
               0x56, 0x57, 0x58, 0x59, 0x5A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F, 0x60, 0x61, 0x62, 0x63, 0x64, 0x65,
               0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F, 0x74, 0x75, 0x76, 0x7E, 0x7F, 0xAF,
               0xB6, 0xB7, 0xBE, 0xBF, 0xD4, 0xD6, 0xDB, 0xDF, 0xEB, 0xEF, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE});

constexpr std::uint64_t kEveryByte = 0x0101010101010101;

// The high bit of the lowest zero byte of `word` (lowest: first in the
// file), and maybe of bytes above it, never of one below it.
constexpr std::uint64_t ZeroBytes(std::uint64_t word) {
  return (word - kEveryByte) & ~word & (kEveryByte * 0x80);
}

// The first offset in [from, limit), from `from` on every `step` (1, 2 or
// 4) bytes, whose byte `flags` flags, eight bytes at a time, `one` testing
// the last few; `from` or past where it is past `limit`.
template <typename Flags, typename One>
std::uint64_t NextFlagged(const std::uint8_t* data, std::uint64_t from, std::uint64_t limit,
                          std::uint64_t step, Flags flags, One one) {
  if (from >= limit) return from;
  // The lanes of a word that the steps land on.
  const std::uint64_t lanes = step == 1   ? kEveryByte * 0x80
                              : step == 2 ? 0x0080008000800080
                                          : 0x0000008000000080;
  for (; limit - from >= 8; from += 8) {
    if (const std::uint64_t found = flags(Load64(data + from)) & lanes)
      return from + static_cast<std::uint64_t>(std::countr_zero(found)) / 8;
  }
  for (; from < limit; from += step) {
    if (one(data[from])) return from;
  }
  return from;
}

// The first byte in [from, limit) an x86 reference's instruction may start
// with: CALL's E8, JMP's E9, the 0F of Jcc.
std::uint64_t NextX86Start(const std::uint8_t* data, std::uint64_t from, std::uint64_t limit) {
  return NextFlagged(
      data, from, limit, 1,
      [](std::uint64_t word) {
        return ZeroBytes((word & (kEveryByte * 0xFE)) ^ (kEveryByte * 0xE8)) |
               ZeroBytes(word ^ (kEveryByte * 0x0F));
      },
      [](std::uint8_t byte) { return (byte & 0xFE) == 0xE8 || byte == 0x0F; });
}

// The first ModRM byte in [from, limit) that names RIP plus a disp32: mod
// 00, r/m 101, any reg.
std::uint64_t NextRipModrm(const std::uint8_t* data, std::uint64_t from, std::uint64_t limit) {
  return NextFlagged(
      data, from, limit, 1,
      [](std::uint64_t word) { return ZeroBytes((word & (kEveryByte * 0xC7)) ^ (kEveryByte * 0x05)); },
      [](std::uint8_t byte) { return (byte & 0xC7) == 0x05; });
}

// The file offset of the disp32 of a RIP-relative instruction starting at
// `p` (an optional 66/F2/F3 prefix, an optional REX, the opcode, ModRM), or 0
// where the bytes in [p, end) are no such instruction.
std::uint64_t RipField(const std::uint8_t* data, std::uint64_t p, std::uint64_t end) {
  std::uint64_t q = p;
  if (data[q] == 0x66 || data[q] == 0xF2 || data[q] == 0xF3) ++q;
  if (q < end && (data[q] & 0xF0) == 0x40) ++q;
  if (end - q < 2) return 0;  // q <= end: each step above was taken below `end`
  std::uint64_t modrm = q + 1;
  if (data[q] == 0x0F) {
    if (end - q < 3 || !kTwoByteRip[data[q + 1]]) return 0;
    modrm = q + 2;
  } else if (!kOneByteRip[data[q]]) {
    return 0;
  }
  const std::uint8_t value = data[modrm];
  if ((value & 0xC7) != 0x05) return 0;
  if (data[q] == 0xFF && value != 0x15 && value != 0x25 && value != 0x35) return 0;
  return modrm + 1;
}

// The first byte in [from, limit), every second from `from`, that may be
// the high byte of a Thumb BL, B.W or BLX's first halfword: F0 to F7.
std::uint64_t NextThumbBranchHigh(const std::uint8_t* data, std::uint64_t from, std::uint64_t limit) {
  return NextFlagged(
      data, from, limit, 2,
      [](std::uint64_t word) { return ZeroBytes((word & (kEveryByte * 0xF8)) ^ (kEveryByte * 0xF0)); },
      [](std::uint8_t byte) { return (byte & 0xF8) == 0xF0; });
}

// The first byte in [from, limit), every fourth from `from`, that may be the
// top byte of an ARM B or BL whose condition is "always": EA or EB.
std::uint64_t NextArmBranchTop(const std::uint8_t* data, std::uint64_t from, std::uint64_t limit) {
  return NextFlagged(
      data, from, limit, 4,
      [](std::uint64_t word) { return ZeroBytes((word & (kEveryByte * 0xFE)) ^ (kEveryByte * 0xEA)); },
      [](std::uint8_t byte) { return (byte & 0xFE) == 0xEA; });
}

bool IsArm64Adrp(std::uint32_t word) { return (word & 0x9F000000) == 0x90000000; }

// Branches of any kind end an ADRP's pairing: past them the register may
// hold anything.
bool IsArm64Branch(std::uint32_t word) {
  return (word & 0x7C000000) == 0x14000000 || (word & 0xFF000010) == 0x54000000 ||
         (word & 0x7E000000) == 0x34000000 || (word & 0x7E000000) == 0x36000000 ||
         (word & 0xFE000000) == 0xD6000000;
}

// ELF relocation types whose field is one absolute pointer of the word size.
bool IsPointerRelocation(Machine machine, std::uint32_t type) {
  switch (machine) {
    case Machine::kX64:
      return type == 1 || type == 6 || type == 7 || type == 8 || type == 37;
    case Machine::kX86:
      return type == 1 || type == 6 || type == 7 || type == 8 || type == 42;
    case Machine::kArm32:
      return type == 2 || type == 21 || type == 22 || type == 23 || type == 160;
    case Machine::kArm64:
      return type == 257 || type == 1025 || type == 1026 || type == 1027 || type == 1032;
  }
  return false;
}

// Whether a field overlaps a relocation-listed one (the index's entries:
// location * 2 + 1 for an 8-byte field, sorted). A scan asks of fields that
// lie close after one another: the search walks from the entry the last
// question ended at, a step or two, where a binary search would take twenty.
class ListedNear {
 public:
  ListedNear(const std::vector<std::uint64_t>& listed, std::uint64_t from)
      : listed_(listed), after_(std::lower_bound(listed.begin(), listed.end(), from * 2)) {}

  bool Overlaps(std::uint64_t begin, std::uint64_t end) {
    // after_ becomes the first entry at or past `end`: the one before it is
    // the only one that may reach into [begin, end).
    const std::uint64_t key = end * 2;
    while (after_ != listed_.begin() && *(after_ - 1) >= key) --after_;
    while (after_ != listed_.end() && *after_ < key) ++after_;
    if (after_ == listed_.begin()) return false;
    const std::uint64_t entry = *(after_ - 1);
    return (entry >> 1) + ((entry & 1) ? 8 : 4) > begin;
  }

 private:
  const std::vector<std::uint64_t>& listed_;
  std::vector<std::uint64_t>::const_iterator after_;
};

// The hit of an x86 instruction starting at `p` of `range`, if any: a call,
// a jump or a RIP-relative operand whose rel32 names the code (the image for
// operands) and overlaps no listed field.
std::optional<Reference> X86HitAt(const Image& image, const std::uint8_t* data, const Section& range,
                                  std::uint64_t p, ListedNear& listed) {
  const std::uint64_t end = range.offset + range.size;
  const std::uint8_t op = data[p];
  std::uint64_t field = 0;
  bool code_target = true;
  if (op == 0xE8 || op == 0xE9) {
    field = p + 1;
  } else if (op == 0x0F && end - p >= 2 && (data[p + 1] & 0xF0) == 0x80) {
    field = p + 2;
  } else if (image.machine() == Machine::kX64) {
    field = RipField(data, p, end);
    code_target = false;
  }
  if (field == 0 || end - field < 4) return std::nullopt;
  const auto target = DecodeRel32(data + field, range.va + (field - range.offset));
  if (!target || !(code_target ? image.InCode(*target) : image.InImage(*target)) ||
      listed.Overlaps(field, field + 4))
    return std::nullopt;
  return Reference{field, *target, ReferenceKind::kRel32};
}

// Where the x86 scan goes on from `p`: past the hit's field, else to the
// next byte.
std::uint64_t X86Next(std::uint64_t p, const std::optional<Reference>& hit) {
  return hit ? hit->location + 4 : p + 1;
}

// A greedy scan stands, once at or past `from`, at one of the `count`
// positions from `from` on, `step` apart: the scan before it jumps no
// farther. The scans from each of them, `next` giving the position after
// each, meet within a few instructions, and from where they have all met
// the scan is one whatever went before. Returns that point, or nothing
// where they have not all met before `latest`.
template <typename Next>
std::optional<std::uint64_t> Rejoin(std::uint64_t from, std::uint64_t count, std::uint64_t step,
                                    std::uint64_t latest, Next next) {
  std::array<std::uint64_t, 16> at{};
  std::size_t live = 0;
  for (std::uint64_t k = 0; k < count && live < at.size(); ++k) at[live++] = from + k * step;
  while (live > 1) {
    // The scan furthest behind moves; where it lands on another's
    // position, the two are one from there on.
    const std::size_t low =
        static_cast<std::size_t>(std::min_element(at.begin(), at.begin() + live) - at.begin());
    if (at[low] >= latest) return std::nullopt;
    at[low] = next(at[low]);
    for (std::size_t i = 0; i < live; ++i) {
      if (i != low && at[i] == at[low]) {
        at[low] = at[--live];
        break;
      }
    }
  }
  if (at[0] >= latest) return std::nullopt;
  return at[0];
}

}  // namespace

ReferenceFinder::ReferenceFinder(const Image& image, ByteSpan file) : image_(image), file_(file) {
  BuildIndex();
}

std::size_t ReferenceFinder::MemoryBytes() const {
  return image_.MemoryBytes() + listed_.capacity() * sizeof(std::uint64_t);
}

// Pointers listed by the relocation tables whose field holds an address of
// the image (a RELA field holding 0 or an addend is no reference).
void ReferenceFinder::BuildIndex() {
  const std::uint64_t cap = kMaxRelocationEntries(file_.size());
  const bool wide = image_.word_bytes() == 8;
  std::vector<std::uint64_t> raw;
  auto consider = [&](std::uint64_t va, bool eight) {
    if (raw.size() >= cap) return false;
    const auto offset = image_.OffsetOf(va, eight ? 8 : 4);
    if (!offset) return true;
    const std::uint64_t value = eight ? Load64(file_.data() + *offset) : Load32(file_.data() + *offset);
    if (image_.InImage(value)) raw.push_back(*offset * 2 + (eight ? 1 : 0));
    return true;
  };
  for (const RelocationTable& table : image_.relocation_tables()) {
    const std::uint8_t* data = file_.data() + table.offset;
    bool more = true;
    switch (table.format) {
      case RelocationTableFormat::kElfRel:
      case RelocationTableFormat::kElfRela:
        for (std::uint64_t at = 0; more && table.entry_bytes <= table.size - at; at += table.entry_bytes) {
          const std::uint64_t va = wide ? Load64(data + at) : Load32(data + at);
          const std::uint64_t info = wide ? Load64(data + at + 8) : Load32(data + at + 4);
          const auto type = static_cast<std::uint32_t>(wide ? info & 0xFFFFFFFF : info & 0xFF);
          if (IsPointerRelocation(image_.machine(), type)) more = consider(va, wide);
        }
        break;
      case RelocationTableFormat::kElfRelr: {
        // An even entry is an address; an odd one a bitmap of the words after
        // the last address, one bit each.
        const std::uint64_t word = image_.word_bytes();
        std::uint64_t next = 0;
        for (std::uint64_t at = 0; more && word <= table.size - at; at += word) {
          const std::uint64_t entry = wide ? Load64(data + at) : Load32(data + at);
          if ((entry & 1) == 0) {
            more = consider(entry, wide);
            next = entry + word;
            continue;
          }
          for (std::uint64_t bit = 1; more && bit < 8 * word; ++bit) {
            if ((entry >> bit) & 1) more = consider(next + (bit - 1) * word, wide);
          }
          next += (8 * word - 1) * word;
        }
        break;
      }
      case RelocationTableFormat::kPeBase:
        for (std::uint64_t at = 0; more && 8 <= table.size - at;) {
          const std::uint64_t page = image_.image_base() + Load32(data + at);
          const std::uint64_t block = Load32(data + at + 4);
          if (block < 8 || block > table.size - at) break;
          for (std::uint64_t entry = at + 8; more && 2 <= at + block - entry; entry += 2) {
            const std::uint16_t value = Load16(data + entry);
            if (value >> 12 == 3) more = consider(page + (value & 0xFFF), false);
            if (value >> 12 == 10) more = consider(page + (value & 0xFFF), true);
          }
          at += block;
        }
        break;
    }
  }
  std::sort(raw.begin(), raw.end());
  std::uint64_t kept_end = 0;
  for (std::uint64_t entry : raw) {
    const std::uint64_t location = entry >> 1;
    if (!listed_.empty() && location < kept_end) continue;
    listed_.push_back(entry);
    kept_end = location + ((entry & 1) ? 8 : 4);
  }
  listed_.shrink_to_fit();
}

void ReferenceFinder::Find(std::uint64_t begin, std::uint64_t end, std::vector<Reference>& out) const {
  end = std::min<std::uint64_t>(end, file_.size());
  if (begin >= end) return;
  // A field that starts in the window may belong to an instruction that
  // starts in the chunk before it.
  std::uint64_t first_chunk = begin / kChunkBytes;
  if (first_chunk > 0) --first_chunk;
  const std::uint64_t last_chunk = (end - 1) / kChunkBytes;
  std::vector<Hit> hits;
  for (const Section& range : image_.code()) {
    const std::uint64_t range_end = range.offset + range.size;
    const std::uint64_t from = std::max(first_chunk, range.offset / kChunkBytes);
    const std::uint64_t to = std::min(last_chunk, (range_end - 1) / kChunkBytes);
    for (std::uint64_t chunk = from; chunk <= to && from <= to; ++chunk) {
      const std::uint64_t piece_begin = std::max(range.offset, chunk * kChunkBytes);
      const std::uint64_t piece_end = std::min(range_end, (chunk + 1) * kChunkBytes);
      ScanPiece(range, piece_begin, piece_end, hits);
    }
  }
  Merge(begin, end, hits, out);
}

void ReferenceFinder::FindChunk(std::uint64_t chunk, Carry& carry, std::vector<Reference>& out) const {
  const std::uint64_t begin = chunk * kChunkBytes;
  const std::uint64_t end = std::min<std::uint64_t>(begin + kChunkBytes, file_.size());
  std::vector<Hit> hits;
  if (begin >= end) {
    carry.chunk = Carry().chunk;
    return;
  }
  if (chunk > 0 && carry.chunk == chunk - 1) {
    hits = std::move(carry.hits);
  } else if (chunk > 0) {
    ScanChunkSpill(chunk - 1, hits);
  }
  const std::size_t own = hits.size();
  ScanChunk(chunk, hits);
  // What runs into the next chunk is the next call's.
  carry.hits.clear();
  std::copy_if(hits.begin() + static_cast<std::ptrdiff_t>(own), hits.end(), std::back_inserter(carry.hits),
               [&](const Hit& hit) { return hit.location >= begin + kChunkBytes; });
  carry.chunk = chunk;
  Merge(begin, end, hits, out);
}

void ReferenceFinder::ScanChunk(std::uint64_t chunk, std::vector<Hit>& hits) const {
  const std::uint64_t begin = chunk * kChunkBytes;
  const std::vector<Section>& code = image_.code();
  // The ranges are disjoint and in offset order, so their ends are too.
  auto range = std::partition_point(code.begin(), code.end(),
                                    [&](const Section& s) { return s.offset + s.size <= begin; });
  for (; range != code.end() && range->offset < begin + kChunkBytes; ++range) {
    ScanPiece(*range, std::max(range->offset, begin),
              std::min(range->offset + range->size, begin + kChunkBytes), hits);
  }
}

void ReferenceFinder::ScanChunkSpill(std::uint64_t chunk, std::vector<Hit>& hits) const {
  const std::uint64_t begin = chunk * kChunkBytes;
  const std::uint64_t end = begin + kChunkBytes;
  const std::size_t first = hits.size();
  const std::vector<Section>& code = image_.code();
  auto range = std::partition_point(code.begin(), code.end(),
                                    [&](const Section& s) { return s.offset + s.size <= begin; });
  for (; range != code.end() && range->offset < end; ++range) {
    const std::uint64_t piece_begin = std::max(range->offset, begin);
    // A range's fields lie in it: one that ends in the chunk spills nothing.
    if (range->offset + range->size <= end) continue;
    std::uint64_t from = piece_begin;
    switch (image_.machine()) {
      case Machine::kArm32:
        // An ARM or Thumb branch's field starts where the branch does.
        continue;
      case Machine::kArm64: {
        // Only the ADRPs of the last words pair with words past the chunk,
        // and an ADRP's pairs depend on nothing before it.
        constexpr std::uint64_t kReach = 4 * kArm64PairWords;
        if (end - piece_begin > kReach) from = piece_begin + (end - kReach - piece_begin + 3) / 4 * 4;
        break;
      }
      case Machine::kX86:
      case Machine::kX64: {
        // The greedy scan's last hits depend on where it stands near the
        // end, which the scans from the few places it may stand settle
        // where they meet before the last field that may spill.
        constexpr std::uint64_t kNear = 64;
        constexpr std::uint64_t kLongestInstruction = 9;  // from its start to past its field
        constexpr std::uint64_t kFarthestField = 5;       // from its start
        if (end - piece_begin <= kNear) break;
        ListedNear listed(listed_, end - kNear);
        const std::uint8_t* data = file_.data();
        const std::optional<std::uint64_t> meet =
            Rejoin(end - kNear, kLongestInstruction, 1, end - kFarthestField,
                   [&](std::uint64_t p) { return X86Next(p, X86HitAt(image_, data, *range, p, listed)); });
        if (meet) from = *meet;
        break;
      }
    }
    ScanPiece(*range, from, end, hits);
  }
  hits.erase(std::remove_if(hits.begin() + static_cast<std::ptrdiff_t>(first), hits.end(),
                            [&](const Hit& hit) { return hit.location < end; }),
             hits.end());
}

void ReferenceFinder::Merge(std::uint64_t begin, std::uint64_t end, std::vector<Hit>& hits,
                            std::vector<Reference>& out) const {
  std::erase_if(hits, [&](const Hit& hit) { return hit.location < begin || hit.location >= end; });
  const auto order = [](const Hit& a, const Hit& b) {
    return std::tie(a.location, a.target_va, a.kind) < std::tie(b.location, b.target_va, b.kind);
  };
  // Only AArch64's pairs come out of order.
  if (!std::is_sorted(hits.begin(), hits.end(), order)) std::sort(hits.begin(), hits.end(), order);

  auto listed = std::lower_bound(listed_.begin(), listed_.end(), begin * 2);
  auto hit = hits.begin();
  for (;;) {
    const bool have_listed = listed != listed_.end() && (*listed >> 1) < end;
    if (hit == hits.end() && !have_listed) break;
    if (have_listed && (hit == hits.end() || (*listed >> 1) < hit->location)) {
      const std::uint64_t location = *listed >> 1;
      const bool eight = (*listed & 1) != 0;
      ++listed;
      const std::uint64_t target = eight ? Load64(file_.data() + location) : Load32(file_.data() + location);
      out.push_back({location, target, eight ? ReferenceKind::kAbs64 : ReferenceKind::kAbs32});
    } else {
      out.push_back({hit->location, hit->target_va, hit->kind});
      ++hit;
    }
  }
}

void ReferenceFinder::ScanPiece(const Section& range, std::uint64_t begin, std::uint64_t end,
                                std::vector<Hit>& hits) const {
  if (image_.machine() == Machine::kArm64) {
    ScanArm64(range, begin, end, hits);
    return;
  }
  const auto greedy = [&](std::uint64_t from, std::uint64_t stop, std::vector<Hit>& found) {
    if (image_.machine() == Machine::kArm32) {
      ScanArm32(range, from, stop, found);
    } else {
      ScanX86(range, from, stop, found);
    }
  };
  const std::size_t first = hits.size();
  greedy(begin, end, hits);
  if (hits.size() == first) return;
  // The last field may run into the next piece, whose own scan wins.
  const std::uint64_t last_end = hits.back().location + FieldWidth(hits.back().kind);
  if (last_end <= end) return;
  std::vector<Hit> next;
  greedy(end, last_end, next);
  if (!next.empty() && next.front().location < last_end) hits.pop_back();
}

// Hits whose instruction starts in [begin, stop), fields inside `range`.
void ReferenceFinder::ScanX86(const Section& range, std::uint64_t begin, std::uint64_t stop,
                              std::vector<Hit>& hits) const {
  const std::uint8_t* data = file_.data();
  const std::uint64_t end = range.offset + range.size;
  const bool rip = image_.machine() == Machine::kX64;
  ListedNear listed(listed_, begin);
  // Most positions start nothing: a hit needs its first byte to be E8, E9
  // or 0F or, RIP-relative, a ModRM naming RIP one to four bytes on (after
  // an optional prefix, REX and 0F). Only the positions where either holds
  // are tested, so the greedy scan finds what testing every one would find,
  // at a fraction of the cost: next_start and next_modrm are the first such
  // bytes at or after p (a ModRM strictly after), sought again once passed.
  std::uint64_t next_start = NextX86Start(data, begin, stop);
  std::uint64_t next_modrm = begin;
  const std::uint64_t modrm_end = std::min(end, stop + 4);
  std::uint64_t p = begin;
  for (;;) {
    if (next_start < p) next_start = NextX86Start(data, p, stop);
    std::uint64_t candidate = next_start;
    if (rip) {
      if (next_modrm <= p) next_modrm = NextRipModrm(data, p + 1, modrm_end);
      if (next_modrm < modrm_end) candidate = std::min(candidate, next_modrm >= p + 4 ? next_modrm - 4 : p);
    }
    if (candidate >= stop) return;
    p = candidate;
    const std::optional<Hit> hit = X86HitAt(image_, data, range, p, listed);
    if (hit) hits.push_back(*hit);
    p = X86Next(p, hit);
  }
}

// ARM-state B and BL (condition "always") on 4-aligned words, else Thumb-2
// BL and BLX on halfwords: an image may hold both, and a Thumb BL never reads
// as an ARM branch that is always taken.
void ReferenceFinder::ScanArm32(const Section& range, std::uint64_t begin, std::uint64_t stop,
                                std::vector<Hit>& hits) const {
  if (range.offset % 4 != 0 || range.va % 4 != 0) return;
  const std::uint8_t* data = file_.data();
  const std::uint64_t end = range.offset + range.size;
  ListedNear listed(listed_, begin);
  std::uint64_t p = begin + (begin % 2);
  // Only the positions whose bytes may start a branch are tested, as for
  // x86: a Thumb one where the halfword's high byte (p + 1) is F0 to F7, an
  // ARM one where p is on 4 and its top byte (p + 3) EA or EB. thumb and arm
  // are the first such positions at or after p, sought again once passed.
  const std::uint64_t last = end >= 3 ? std::min(stop, end - 3) : 0;  // positions before it hold 4 bytes
  std::uint64_t thumb = p;
  std::uint64_t arm = p;
  for (;;) {
    if (thumb < p) thumb = NextThumbBranchHigh(data, p + 1, last + 1) - 1;
    if (arm < p) arm = NextArmBranchTop(data, p + (p % 4) + 3, last + 3) - 3;
    p = std::min(thumb, arm);
    if (p >= last) return;
    const std::uint64_t location_va = range.va + (p - range.offset);
    const std::uint32_t top = data[p + 3];
    std::optional<ReferenceKind> kind;
    if (p % 4 == 0 && (top == 0xEA || top == 0xEB)) {
      kind = ReferenceKind::kArm32Branch24;
    } else if ((data[p + 1] & 0xF8) == 0xF0) {
      kind = ReferenceKind::kThumb2Branch;
    }
    if (kind) {
      const auto target = Decode(*kind, data + p, location_va);
      if (target && image_.InCode(*target) && !listed.Overlaps(p, p + 4)) {
        hits.push_back({p, *target, *kind});
        p += 4;
        continue;
      }
    }
    p += 2;
  }
}

// B and BL; ADRP with the ADD or LDR/STR (unsigned offset) after it that take
// the same register as base, each of them one reference and the ADRP one
// more, whose target is its first pair's. A pairing ends at a branch, at
// another ADRP to the register, or at an instruction that may write it.
void ReferenceFinder::ScanArm64(const Section& range, std::uint64_t begin, std::uint64_t end,
                                std::vector<Hit>& hits) const {
  if (range.offset % 4 != 0 || range.va % 4 != 0) return;
  const std::uint8_t* data = file_.data();
  const std::uint64_t range_end = range.offset + range.size;
  ListedNear listed(listed_, begin);
  for (std::uint64_t p = begin; p < end && range_end - p >= 4; p += 4) {
    const std::uint32_t word = Load32(data + p);
    const std::uint64_t location_va = range.va + (p - range.offset);
    if ((word & 0x7C000000) == 0x14000000) {
      const auto target = Decode(ReferenceKind::kArm64Branch26, data + p, location_va);
      if (target && image_.InCode(*target) && !listed.Overlaps(p, p + 4)) {
        hits.push_back({p, *target, ReferenceKind::kArm64Branch26});
      }
      continue;
    }
    const std::uint32_t reg = word & 31;
    if (!IsArm64Adrp(word) || reg == 31) continue;
    const auto page = Decode(ReferenceKind::kArm64Adrp, data + p, location_va);
    if (!page) continue;
    std::array<Hit, kArm64PairWords> pairs;
    std::size_t pair_count = 0;
    for (std::uint64_t k = 1; k <= kArm64PairWords; ++k) {
      const std::uint64_t q = p + 4 * k;
      if (range_end - p < 4 * k + 4) break;
      const std::uint32_t next = Load32(data + q);
      if ((IsArm64Adrp(next) && (next & 31) == reg) || IsArm64Branch(next)) break;
      const std::uint32_t base = (next >> 5) & 31;
      const std::uint32_t written = next & 31;
      const std::uint64_t next_va = location_va + 4 * k;
      std::optional<ReferenceKind> kind;
      bool writes = written == reg;
      if ((next & 0x7FC00000) == 0x11000000 && base == reg) {
        kind = ReferenceKind::kArm64AddLo12;
      } else if ((next & 0x3B000000) == 0x39000000 && base == reg) {
        kind = ReferenceKind::kArm64LoadStoreLo12;
        // Stores and vector loads leave the general register alone.
        writes = writes && (next & 0x00C00000) != 0 && (next & 0x04000000) == 0;
      }
      if (kind) {
        const auto low = Decode(*kind, data + q, next_va);
        if (low && image_.InImage(*page + *low) && !listed.Overlaps(q, q + 4)) {
          pairs[pair_count++] = {q, *page + *low, *kind};
        }
      }
      if (writes) break;
    }
    if (pair_count == 0 || listed.Overlaps(p, p + 4)) continue;
    hits.push_back({p, pairs[0].target_va, ReferenceKind::kArm64Adrp});
    hits.insert(hits.end(), pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(pair_count));
  }
}

}  // namespace varnock::exe
