// Guards against a reference set that depends on the windows it is asked for
// (an applier that disagrees with the maker), against references whose bytes
// do not re-encode to themselves, and against targets other than the ones
// the disassembler gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>

#include "exe/LittleEndian.h"
#include "exe/ReferenceFinder.h"
#include "support/ExeFiles.h"
#include "support/SyntheticExe.h"

namespace varnock::exe {
namespace {

using testing::ExeFile;

const char* KindName(ReferenceKind kind) {
  switch (kind) {
    case ReferenceKind::kRel32:
      return "rel32";
    case ReferenceKind::kAbs32:
      return "abs32";
    case ReferenceKind::kAbs64:
      return "abs64";
    case ReferenceKind::kArm64Branch26:
      return "arm64-branch26";
    case ReferenceKind::kArm64Adrp:
      return "arm64-adrp";
    case ReferenceKind::kArm64AddLo12:
      return "arm64-add-lo12";
    case ReferenceKind::kArm64LoadStoreLo12:
      return "arm64-load-store-lo12";
    case ReferenceKind::kArm32Branch24:
      return "arm32-branch24";
    case ReferenceKind::kThumb2Branch:
      return "thumb2-branch";
  }
  return "?";
}

bool IsLow12(ReferenceKind kind) {
  return kind == ReferenceKind::kArm64AddLo12 || kind == ReferenceKind::kArm64LoadStoreLo12;
}

// The properties every result of Find has: in order, disjoint, inside the
// file, each field re-encoding to its own bytes, each lo12 field paired with
// an ADRP shortly before it naming the same page.
void ExpectWellFormed(const Image& image, ByteSpan file, const std::vector<Reference>& references) {
  std::uint64_t previous_end = 0;
  for (std::size_t i = 0; i < references.size(); ++i) {
    const Reference& reference = references[i];
    const std::uint32_t width = FieldWidth(reference.kind);
    ASSERT_GE(reference.location, previous_end) << "overlap or disorder at " << i;
    ASSERT_LE(width, file.size() - reference.location);
    previous_end = reference.location + width;
    const std::uint8_t* field = file.data() + reference.location;
    const auto va = image.VaOf(reference.location);
    ASSERT_TRUE(va.has_value());
    std::uint8_t out[8] = {};
    ASSERT_TRUE(Encode(reference.kind, field, *va, reference.target_va, out)) << "at " << reference.location;
    ASSERT_TRUE(std::equal(out, out + width, field))
        << KindName(reference.kind) << " at " << reference.location;
    if (reference.kind == ReferenceKind::kArm64Adrp) {
      ASSERT_EQ(Decode(reference.kind, field, *va), reference.target_va & ~std::uint64_t{0xFFF});
    } else if (!IsLow12(reference.kind)) {
      ASSERT_EQ(Decode(reference.kind, field, *va), reference.target_va);
    }
    if (!IsLow12(reference.kind)) continue;
    bool paired = false;
    for (std::size_t j = i; j-- > 0 && reference.location - references[j].location <= 4 * kArm64PairWords;) {
      if (references[j].kind != ReferenceKind::kArm64Adrp) continue;
      const auto page = Decode(ReferenceKind::kArm64Adrp, file.data() + references[j].location,
                               *image.VaOf(references[j].location));
      paired = paired || page == (reference.target_va & ~std::uint64_t{0xFFF});
    }
    ASSERT_TRUE(paired) << "lo12 at " << reference.location << " has no ADRP for its page";
  }
}

TEST(ExeReferenceFinder, EveryReferenceReencodesToItsOwnBytes) {
  const auto files = testing::ExeFilesToScan();
  if (files.empty()) {
    GTEST_SKIP() << "no executable to read";
  }
  for (const ExeFile& file : files) {
    SCOPED_TRACE(file.name);
    const auto image = Image::Parse(file.bytes);
    ASSERT_TRUE(image.has_value());
    const ReferenceFinder finder(*image, file.bytes);
    std::vector<Reference> references;
    finder.Find(0, file.bytes.size(), references);
    ASSERT_FALSE(references.empty());
    ExpectWellFormed(*image, file.bytes, references);
    std::map<std::string, std::size_t> counts;
    for (const Reference& reference : references) ++counts[KindName(reference.kind)];
    std::cout << file.name << ":";
    for (const auto& [kind, count] : counts) std::cout << " " << kind << " " << count;
    std::cout << "\n";
  }
}

// The window sizes a decoder may ask for: tiny ones, ones about a chunk, and
// large ones, so that windows end everywhere relative to chunks and fields.
std::uint64_t RandomWindow(std::mt19937_64& random, std::uint64_t file_size) {
  switch (random() % 4) {
    case 0:
      return 1 + random() % 16;
    case 1:
      return kChunkBytes - 8 + random() % 16;
    case 2:
      return 1 + random() % (4 * kChunkBytes);
    default:
      return 1 + random() % std::max<std::uint64_t>(file_size / 8, 1);
  }
}

TEST(ExeReferenceFinder, WindowsAgreeWithTheWholeFile) {
  std::mt19937_64 random(77);
  const auto files = testing::ExeFilesToScan();
  if (files.empty()) {
    GTEST_SKIP() << "no executable to read";
  }
  for (const ExeFile& file : files) {
    SCOPED_TRACE(file.name);
    const auto image = Image::Parse(file.bytes);
    ASSERT_TRUE(image.has_value());
    const ReferenceFinder finder(*image, file.bytes);
    std::vector<Reference> whole;
    finder.Find(0, file.bytes.size(), whole);
    // Small files are cut many times; large ones a few, in windows of their size.
    const int passes = file.bytes.size() < (1 << 16) ? 40 : 2;
    for (int pass = 0; pass < passes; ++pass) {
      std::vector<Reference> pieced;
      for (std::uint64_t begin = 0; begin < file.bytes.size();) {
        const std::uint64_t end =
            std::min<std::uint64_t>(file.bytes.size(), begin + RandomWindow(random, file.bytes.size()));
        finder.Find(begin, end, pieced);
        begin = end;
      }
      ASSERT_EQ(pieced.size(), whole.size()) << "pass " << pass;
      ASSERT_TRUE(pieced == whole) << "pass " << pass;
    }
    // A window past the end or empty adds nothing.
    std::vector<Reference> none;
    finder.Find(file.bytes.size(), file.bytes.size() + 100, none);
    finder.Find(10, 10, none);
    EXPECT_TRUE(none.empty());
  }
}

// Random windows rarely split the few bytes between an instruction and its
// field, or an ADRP and its pair, where they straddle a chunk boundary: split
// at each position near the boundaries.
TEST(ExeReferenceFinder, SplitsNearChunkBoundariesAgreeWithTheWholeFile) {
  constexpr std::uint64_t kAround = 64;
  const auto files = testing::ExeFilesToScan();
  if (files.empty()) {
    GTEST_SKIP() << "no executable to read";
  }
  for (const ExeFile& file : files) {
    SCOPED_TRACE(file.name);
    const auto image = Image::Parse(file.bytes);
    ASSERT_TRUE(image.has_value());
    const ReferenceFinder finder(*image, file.bytes);
    std::vector<Reference> whole;
    finder.Find(0, file.bytes.size(), whole);
    const std::uint64_t stride = file.bytes.size() < (1 << 20) ? 1 : 16;
    for (std::uint64_t boundary = kChunkBytes; boundary < file.bytes.size();
         boundary += stride * kChunkBytes) {
      for (std::uint64_t split = boundary - 8; split < boundary + 40 && split < file.bytes.size(); ++split) {
        const std::uint64_t low = split - kAround;
        const std::uint64_t high = std::min<std::uint64_t>(split + kAround, file.bytes.size());
        std::vector<Reference> pieced;
        finder.Find(low, split, pieced);
        finder.Find(split, high, pieced);
        std::vector<Reference> expected;
        std::copy_if(whole.begin(), whole.end(), std::back_inserter(expected),
                     [&](const Reference& r) { return r.location >= low && r.location < high; });
        ASSERT_TRUE(pieced == expected) << "split at " << split;
      }
    }
  }
}

// Code that reads two ways, neither of which ever meets the other: 8B 05
// 00 01 05 00 is mov eax, [rip + 0x50100], and from its fourth byte on
// 01 05 00 8B 05 00 is add [rip + 0x58B00], eax, each instruction leading to
// the next of its own reading. Which one the greedy scan takes is settled
// where the run starts, far before the chunk's end; the chunk after it must
// get the field of the reading's last instruction, which starts in it,
// wherever the chunk is asked for alone.
TEST(ExeReferenceFinder, AChunkAloneGetsWhatSpillsIntoItFromAReadingSettledFarBefore) {
  constexpr std::uint64_t kEnd = 8 * kChunkBytes;  // the boundary the run crosses
  const std::uint8_t kRun[] = {0x8B, 0x05, 0x00, 0x01, 0x05, 0x00};
  std::vector<std::vector<Reference>> chunk_after(2);
  for (std::uint64_t shift = 0; shift < 6; ++shift) {
    for (const int second_reading : {0, 1}) {
      SCOPED_TRACE("shift " + std::to_string(shift) +
                   (second_reading ? ", the second reading" : ", the first"));
      std::vector<std::uint8_t> code(128 * kChunkBytes, 0x90);
      const std::uint64_t start = kEnd - 242 - shift;
      for (std::uint64_t at = start; at < kEnd + 4; ++at) code[at] = kRun[(at - start) % 6];
      // The second reading starts at the run's fourth byte.
      if (second_reading)
        std::fill_n(code.begin() + static_cast<std::ptrdiff_t>(start), 3, std::uint8_t{0x90});
      const std::vector<std::uint8_t> file = testing::MakeElf64Image(std::move(code));
      const auto image = Image::Parse(file);
      ASSERT_TRUE(image.has_value());
      const ReferenceFinder finder(*image, file);
      for (const std::uint64_t chunk : {kEnd / kChunkBytes - 1, kEnd / kChunkBytes}) {
        std::vector<Reference> expected;
        finder.Find(chunk * kChunkBytes, (chunk + 1) * kChunkBytes, expected);
        ReferenceFinder::Carry carry;
        std::vector<Reference> alone;
        finder.FindChunk(chunk, carry, alone);
        EXPECT_TRUE(alone == expected) << "chunk " << chunk;
      }
      if (shift == 0)
        finder.Find(kEnd, kEnd + kChunkBytes, chunk_after[static_cast<std::size_t>(second_reading)]);
    }
  }
  // Else the test would not tell one reading from the other.
  EXPECT_FALSE(chunk_after[0] == chunk_after[1]);
}

// AArch64 pairs interleaved, as compilers schedule them: each ADRP's pair
// comes after the next ADRP, yet the references come in location order.
TEST(ExeReferenceFinder, FindsInterleavedAarch64PairsInLocationOrder) {
  constexpr std::uint64_t kAt = 2 * kChunkBytes;
  const std::uint32_t words[] = {
      0xD0000000,  // adrp x0, +2 pages
      0xF0000001,  // adrp x1, +3 pages
      0x9108D000,  // add x0, x0, #0x234
      0x9115A021,  // add x1, x1, #0x568
  };
  std::vector<std::uint8_t> code(8 * kChunkBytes, 0);
  for (std::size_t at = 0; at < code.size(); at += 4) Store32(code.data() + at, 0xD503201F);  // nop
  for (std::size_t i = 0; i < std::size(words); ++i) Store32(code.data() + kAt + 4 * i, words[i]);
  const std::vector<std::uint8_t> file = testing::MakeElf64Image(std::move(code), testing::kElfAarch64);
  const auto image = Image::Parse(file);
  ASSERT_TRUE(image.has_value());
  const std::uint64_t page = testing::kSyntheticVa + kAt;
  const std::vector<Reference> expected = {
      {kAt, page + 0x2234, ReferenceKind::kArm64Adrp},
      {kAt + 4, page + 0x3568, ReferenceKind::kArm64Adrp},
      {kAt + 8, page + 0x2234, ReferenceKind::kArm64AddLo12},
      {kAt + 12, page + 0x3568, ReferenceKind::kArm64AddLo12},
  };
  const ReferenceFinder finder(*image, file);
  std::vector<Reference> found;
  finder.Find(kChunkBytes, file.size(), found);
  EXPECT_TRUE(found == expected);
  ReferenceFinder::Carry carry;
  found.clear();
  finder.FindChunk(kAt / kChunkBytes, carry, found);
  EXPECT_TRUE(found == expected);
}

// A predictor asks chunk by chunk, carrying what each scan leaves to the
// next: in order, skipping, going back, asking one again; whatever the
// order, each chunk's references are Find's for its window.
TEST(ExeReferenceFinder, ChunkByChunkAgreesWithFindInAnyOrder) {
  struct Order {
    const char* what;
    // The chunk asked for after `chunk`, of `count`, at step `step`.
    std::uint64_t (*next)(std::uint64_t chunk, std::uint64_t count, std::uint64_t step);
  };
  const Order orders[] = {
      {"in order", [](std::uint64_t chunk, std::uint64_t, std::uint64_t) { return chunk + 1; }},
      {"every other", [](std::uint64_t chunk, std::uint64_t, std::uint64_t) { return chunk + 2; }},
      {"backwards",
       [](std::uint64_t chunk, std::uint64_t count, std::uint64_t) { return (chunk + count - 1) % count; }},
      {"each twice",
       [](std::uint64_t chunk, std::uint64_t, std::uint64_t step) { return step % 2 ? chunk : chunk + 1; }},
      {"on, then back", [](std::uint64_t chunk, std::uint64_t,
                           std::uint64_t step) { return step % 3 == 2 ? chunk - 1 : chunk + 1; }},
      {"scattered",
       [](std::uint64_t chunk, std::uint64_t count, std::uint64_t) { return (chunk * 7 + 3) % count; }},
  };
  const auto files = testing::ExeFilesToScan();
  if (files.empty()) {
    GTEST_SKIP() << "no executable to read";
  }
  for (const ExeFile& file : files) {
    const auto image = Image::Parse(file.bytes);
    ASSERT_TRUE(image.has_value());
    const ReferenceFinder finder(*image, file.bytes);
    // A chunk past the end too, which has none.
    const std::uint64_t count = file.bytes.size() / kChunkBytes + 2;
    for (const Order& order : orders) {
      SCOPED_TRACE(file.name + ", " + order.what);
      ReferenceFinder::Carry carry;
      std::uint64_t chunk = 0;
      for (std::uint64_t step = 0; step < std::min<std::uint64_t>(count, 600); ++step) {
        std::vector<Reference> expected;
        finder.Find(chunk * kChunkBytes, (chunk + 1) * kChunkBytes, expected);
        std::vector<Reference> found;
        finder.FindChunk(chunk, carry, found);
        ASSERT_TRUE(found == expected) << "chunk " << chunk << " at step " << step;
        chunk = order.next(chunk, count, step) % count;
      }
    }
  }
}

struct Expected {
  const char* fixture;
  ReferenceKind kind;
  // (location VA, target) of each such reference, from the disassembler's
  // listing of the fixture built unstripped.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> listed;
  bool exactly;  // whether the finder may find no others of the kind
};

TEST(ExeReferenceFinder, FindsWhatTheDisassemblerLists) {
  const Expected expectations[] = {
      {"x86_64.so",
       ReferenceKind::kRel32,
       {{0x355, 0x1F00}, {0x361, 0x2160}, {0x376, 0x2060}, {0x37C, 0x2160}, {0x3B6, 0x2060},
        {0x3BC, 0x2160}, {0x3E6, 0x2060}, {0x3EC, 0x2160}, {0x416, 0x2060}, {0x41C, 0x2160},
        {0x446, 0x2060}, {0x44C, 0x2160}, {0x476, 0x2060}, {0x47C, 0x2160}, {0x4A6, 0x2060},
        {0x4AC, 0x2160}, {0x4D6, 0x2060}, {0x4DC, 0x2160}, {0x50A, 0x598},  {0x516, 0x2000},
        {0x52D, 0x4D0},  {0x56B, 0x410},  {0x57E, 0x1F00}, {0x5A2, 0x2160}, {0x5A7, 0x500}},
       false},
      {"aarch64.so",
       ReferenceKind::kArm64Branch26,
       {{0x43C, 0x3C0},
        {0x494, 0x3F0},
        {0x4F0, 0x444},
        {0x544, 0x4A0},
        {0x5A0, 0x4F4},
        {0x5F4, 0x550},
        {0x650, 0x5A4},
        {0x6A4, 0x600},
        {0x6E4, 0x700},
        {0x6F4, 0x654},
        {0x730, 0x4F4},
        {0x770, 0x748},
        {0x77C, 0x6B0}},
       true},
      {"arm.so",
       ReferenceKind::kArm32Branch24,
       {{0x264, 0x5C8}, {0x314, 0x558}, {0x3C4, 0x598}, {0x474, 0x588}},
       true},
      {"arm.so",
       ReferenceKind::kThumb2Branch,
       {{0x2B4, 0x578}, {0x364, 0x5A8}, {0x414, 0x568}, {0x4C4, 0x5B8}, {0x4F0, 0x47C}, {0x520, 0x31C}},
       true},
  };
  for (const Expected& expected : expectations) {
    SCOPED_TRACE(std::string(expected.fixture) + " " + KindName(expected.kind));
    const auto bytes = testing::ReadExeFixture(expected.fixture);
    if (bytes.empty()) {
      GTEST_SKIP() << "no " << expected.fixture;
    }
    const auto image = Image::Parse(bytes);
    ASSERT_TRUE(image.has_value());
    std::vector<Reference> references;
    ReferenceFinder(*image, bytes).Find(0, bytes.size(), references);
    std::set<std::pair<std::uint64_t, std::uint64_t>> found;
    for (const Reference& reference : references) {
      if (reference.kind == expected.kind)
        found.insert({*image->VaOf(reference.location), reference.target_va});
    }
    for (const auto& listed : expected.listed) {
      EXPECT_TRUE(found.count(listed))
          << std::hex << "missing 0x" << listed.first << " -> 0x" << listed.second;
    }
    if (expected.exactly) {
      EXPECT_EQ(found.size(), expected.listed.size());
    }
  }
}

// Each fixture holds every kind its machine's code and tables give rise to.
TEST(ExeReferenceFinder, FindsEachKindInTheFixtures) {
  const std::pair<const char*, std::vector<ReferenceKind>> kinds[] = {
      {"x86_64.so", {ReferenceKind::kRel32, ReferenceKind::kAbs64}},
      {"i386.so", {ReferenceKind::kRel32, ReferenceKind::kAbs32}},
      {"aarch64.so",
       {ReferenceKind::kArm64Branch26, ReferenceKind::kArm64Adrp, ReferenceKind::kArm64AddLo12,
        ReferenceKind::kArm64LoadStoreLo12, ReferenceKind::kAbs64}},
      {"arm.so", {ReferenceKind::kArm32Branch24, ReferenceKind::kThumb2Branch, ReferenceKind::kAbs32}},
      {"i386.dll", {ReferenceKind::kRel32, ReferenceKind::kAbs32}},
      {"x86_64.dll", {ReferenceKind::kRel32, ReferenceKind::kAbs64}},
  };
  for (const auto& [fixture, wanted] : kinds) {
    SCOPED_TRACE(fixture);
    const auto bytes = testing::ReadExeFixture(fixture);
    if (bytes.empty()) {
      GTEST_SKIP() << "no " << fixture;
    }
    const auto image = Image::Parse(bytes);
    ASSERT_TRUE(image.has_value());
    std::vector<Reference> references;
    ReferenceFinder(*image, bytes).Find(0, bytes.size(), references);
    for (ReferenceKind kind : wanted) {
      EXPECT_TRUE(std::any_of(references.begin(), references.end(),
                              [&](const Reference& reference) { return reference.kind == kind; }))
          << "no " << KindName(kind);
    }
  }
}

// Each x86-64 instruction form the scan knows, among NOPs, found at its field
// with its target wherever it starts: at each offset around a chunk boundary
// and at the code's very end, alone or a few bytes after a call (so that the
// scan comes to it from every alignment to the 8 bytes it may test at once).
TEST(ExeReferenceFinder, FindsEachX64FormAtEachPlace) {
  struct Form {
    const char* what;
    std::vector<std::uint8_t> opcode;  // the bytes before the disp32
  };
  const Form forms[] = {
      {"call rel32", {0xE8}},
      {"jmp rel32", {0xE9}},
      {"jne rel32", {0x0F, 0x85}},
      {"add [rip], eax", {0x01, 0x05}},
      {"call [rip]", {0xFF, 0x15}},
      {"mov rax, [rip]", {0x48, 0x8B, 0x05}},
      {"lea rcx, [rip]", {0x48, 0x8D, 0x0D}},
      {"movzx eax, byte [rip]", {0x0F, 0xB6, 0x05}},
      {"cmovne rax, [rip]", {0x48, 0x0F, 0x45, 0x05}},
      {"movsd xmm0, [rip]", {0xF2, 0x0F, 0x10, 0x05}},
      {"movq xmm1, [rip]", {0x66, 0x48, 0x0F, 0x6E, 0x0D}},
  };
  constexpr std::size_t kSize = 4 * kChunkBytes;
  constexpr std::uint64_t kTarget = testing::kSyntheticVa + 0x200;
  const auto place = [](std::vector<std::uint8_t>& code, std::size_t start,
                        const std::vector<std::uint8_t>& opcode) {
    std::copy(opcode.begin(), opcode.end(), code.begin() + static_cast<std::ptrdiff_t>(start));
    const std::uint64_t field = start + opcode.size();
    Store32(code.data() + field, static_cast<std::uint32_t>(kTarget - (testing::kSyntheticVa + field + 4)));
    return field;
  };
  for (const Form& form : forms) {
    const std::size_t length = form.opcode.size() + 4;
    std::vector<std::size_t> starts;
    for (std::size_t k = 0; k <= 16; ++k) starts.push_back(2 * kChunkBytes - k);
    starts.push_back(kSize - length);
    for (const std::size_t start : starts) {
      for (int gap = -1; gap < 8; ++gap) {
        SCOPED_TRACE(std::string(form.what) + " at " + std::to_string(start) + ", gap " +
                     std::to_string(gap));
        std::vector<std::uint8_t> code(kSize, 0x90);
        std::vector<std::uint64_t> fields;
        if (gap >= 0) fields.push_back(place(code, start - 5 - static_cast<std::size_t>(gap), {0xE8}));
        fields.push_back(place(code, start, form.opcode));
        const std::vector<std::uint8_t> file = testing::MakeElf64Image(std::move(code));
        const auto image = Image::Parse(file);
        ASSERT_TRUE(image.has_value());
        const ReferenceFinder finder(*image, file);
        std::vector<Reference> found;
        // Past the headers, which are code too.
        finder.Find(kChunkBytes, file.size(), found);
        ASSERT_EQ(found.size(), fields.size());
        for (std::size_t i = 0; i < fields.size(); ++i) {
          EXPECT_EQ(found[i].location, fields[i]);
          EXPECT_EQ(found[i].target_va, kTarget);
          EXPECT_EQ(found[i].kind, ReferenceKind::kRel32);
        }
        // Each chunk alone, with nothing carried from the one before.
        for (std::uint64_t chunk = 1; chunk < kSize / kChunkBytes; ++chunk) {
          ReferenceFinder::Carry carry;
          std::vector<Reference> alone;
          finder.FindChunk(chunk, carry, alone);
          std::vector<Reference> expected;
          std::copy_if(found.begin(), found.end(), std::back_inserter(expected),
                       [&](const Reference& r) { return r.location / kChunkBytes == chunk; });
          EXPECT_TRUE(alone == expected) << "chunk " << chunk;
        }
      }
    }
  }
}

// The system's C library: calls and RIP-relative operands by the ten
// thousand, and relocated pointers by the hundred.
TEST(ExeReferenceFinder, FindsTheReferencesOfTheCLibraryByTheThousand) {
  const auto bytes = testing::ReadWholeFile("/usr/lib/x86_64-linux-gnu/libc.so.6");
  if (bytes.empty()) {
    GTEST_SKIP() << "no x86-64 libc.so.6";
  }
  const auto image = Image::Parse(bytes);
  ASSERT_TRUE(image.has_value());
  const ReferenceFinder finder(*image, bytes);
  std::vector<Reference> references;
  finder.Find(0, bytes.size(), references);
  std::map<ReferenceKind, std::size_t> counts;
  for (const Reference& reference : references) ++counts[reference.kind];
  EXPECT_GT(counts[ReferenceKind::kRel32], 20000u);
  EXPECT_GT(counts[ReferenceKind::kAbs64], 500u);
  // The index: 8 bytes a listed pointer, nothing kept per code reference.
  EXPECT_LE(finder.MemoryBytes(), image->MemoryBytes() + 8 * counts[ReferenceKind::kAbs64] + 4096);
}

}  // namespace
}  // namespace varnock::exe
