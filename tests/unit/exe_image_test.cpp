// Guards against header parsing that reads outside the file or yields a
// layout its own lookups contradict, whatever the headers say: truncated
// files, flipped header bytes, and files that are no executable we know.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "exe/Image.h"
#include "exe/LittleEndian.h"
#include "exe/ReferenceFinder.h"
#include "support/ExeFiles.h"

namespace varnock::exe {
namespace {

using testing::kExeFixtures;

// What Parse promises of an image, checked through its public lookups, and
// a finder over it that keeps to the file.
void ExpectConsistent(const Image& image, ByteSpan file) {
  for (const auto* list : {&image.regions(), &image.code()}) {
    for (const Section& section : *list) {
      ASSERT_LE(section.offset, file.size());
      ASSERT_LE(section.size, file.size() - section.offset);
      ASSERT_LE(section.size, section.memory_size);
    }
  }
  for (const Section& region : image.regions()) {
    if (region.size == 0) continue;
    EXPECT_EQ(image.VaOf(region.offset), region.va);
    EXPECT_EQ(image.VaOf(region.offset + region.size - 1), region.va + region.size - 1);
    EXPECT_EQ(image.OffsetOf(region.va, region.size), region.offset);
    EXPECT_FALSE(image.OffsetOf(region.va, region.size + 1).has_value())
        << "a width past the region's file bytes";
    EXPECT_TRUE(image.InImage(region.va + region.memory_size - 1));
  }
  for (const Section& code : image.code()) EXPECT_TRUE(image.InCode(code.va + code.size - 1));
  for (const RelocationTable& table : image.relocation_tables()) {
    ASSERT_LE(table.offset, file.size());
    ASSERT_LE(table.size, file.size() - table.offset);
  }
  const ReferenceFinder finder(image, file);
  std::vector<Reference> references;
  finder.Find(0, file.size(), references);
  std::uint64_t previous_end = 0;
  for (const Reference& reference : references) {
    const std::uint32_t width = FieldWidth(reference.kind);
    ASSERT_GE(reference.location, previous_end);
    ASSERT_LE(width, file.size() - reference.location);
    previous_end = reference.location + width;
    // The finder's addresses are the image's: a location found re-encodes
    // for the address VaOf gives it.
    const auto va = image.VaOf(reference.location);
    ASSERT_TRUE(va.has_value()) << "location " << reference.location;
    std::uint8_t out[8] = {};
    ASSERT_TRUE(Encode(reference.kind, file.data() + reference.location, *va, reference.target_va, out));
    ASSERT_TRUE(std::equal(out, out + width, file.data() + reference.location))
        << "location " << reference.location;
  }
}

TEST(ExeImage, ParsesEachFixtureAsItsMachine) {
  for (const auto& fixture : kExeFixtures) {
    SCOPED_TRACE(fixture.name);
    const auto bytes = testing::ReadExeFixture(fixture.name);
    if (bytes.empty()) {
      GTEST_SKIP() << "no " << fixture.name;
    }
    const auto image = Image::Parse(bytes);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->machine(), fixture.machine);
    EXPECT_EQ(image->format(), fixture.format);
    const bool wide = fixture.machine == Machine::kX64 || fixture.machine == Machine::kArm64;
    EXPECT_EQ(image->word_bytes(), wide ? 8u : 4u);
    EXPECT_FALSE(image->code().empty());
    EXPECT_FALSE(image->relocation_tables().empty());
    ExpectConsistent(*image, bytes);
  }
}

// Files that are no executable of ours, each from a fixture with one header
// field changed.
TEST(ExeImage, RefusesWhatItDoesNotKnow) {
  const auto elf = testing::ReadExeFixture("x86_64.so");
  const auto pe = testing::ReadExeFixture("i386.dll");
  if (elf.empty() || pe.empty()) {
    GTEST_SKIP() << "no fixtures";
  }
  const std::uint64_t pe_header = Load32(pe.data() + 0x3C);
  struct Case {
    const char* what;
    const std::vector<std::uint8_t>* base;
    std::uint64_t at;
    std::vector<std::uint8_t> bytes;
  };
  const Case cases[] = {
      {"big-endian ELF", &elf, 5, {2}},
      {"ELF32 for x86-64", &elf, 4, {1}},
      {"relocatable object", &elf, 16, {1, 0}},
      {"unknown ELF machine", &elf, 18, {0x08, 0}},
      {"program headers past the end", &elf, 32, {0xF0, 0xFF, 0xFF, 0, 0, 0, 0, 0}},
      {"section headers past the end", &elf, 40, {0xF0, 0xFF, 0xFF, 0, 0, 0, 0, 0}},
      {"PE header past the end", &pe, 0x3C, {0xF0, 0xFF, 0xFF, 0x7F}},
      {"no PE signature", &pe, pe_header, {'P', 'F'}},
      {"unknown PE machine", &pe, pe_header + 4, {0xC4, 0x01}},
      {"PE32+ magic for i386", &pe, pe_header + 24, {0x0B, 0x02}},
      {"section table past the end", &pe, pe_header + 6, {0xFF, 0xFF}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> file = *c.base;
    ASSERT_TRUE(Image::Parse(file).has_value());
    std::copy(c.bytes.begin(), c.bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(c.at));
    EXPECT_FALSE(Image::Parse(file).has_value());
  }
  for (const std::string text : {"",
                                 "\x7F"
                                 "ELF",
                                 "MZ", "#!/bin/sh\n"}) {
    EXPECT_FALSE(Image::Parse(ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
  }
}

TEST(ExeImage, TruncatedFilesParseConsistentlyOrNotAtAll) {
  for (const auto& fixture : kExeFixtures) {
    SCOPED_TRACE(fixture.name);
    const auto bytes = testing::ReadExeFixture(fixture.name);
    if (bytes.empty()) {
      GTEST_SKIP() << "no " << fixture.name;
    }
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
      // A copy of exactly `length` bytes, so that a sanitizer sees a read past it.
      const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
      if (const auto image = Image::Parse(cut)) ExpectConsistent(*image, cut);
      if (::testing::Test::HasFatalFailure()) FAIL() << "length " << length;
    }
  }
}

// Flips bytes where the headers are: the file's first 1 KiB and, for ELF, the
// section headers at its end.
TEST(ExeImage, CorruptedHeadersParseConsistentlyOrNotAtAll) {
  std::mt19937_64 random(4242);
  for (const auto& fixture : kExeFixtures) {
    SCOPED_TRACE(fixture.name);
    const auto bytes = testing::ReadExeFixture(fixture.name);
    if (bytes.empty()) {
      GTEST_SKIP() << "no " << fixture.name;
    }
    int parsed = 0;
    for (int trial = 0; trial < 3000; ++trial) {
      std::vector<std::uint8_t> file = bytes;
      const int flips = 1 + static_cast<int>(random() % 4);
      for (int flip = 0; flip < flips; ++flip) {
        const std::size_t span = std::min<std::size_t>(file.size(), 1024);
        const std::size_t at = random() % 2 ? random() % span : file.size() - 1 - random() % span;
        file[at] =
            random() % 3 == 0 ? static_cast<std::uint8_t>(random()) : file[at] ^ (1u << (random() % 8));
      }
      if (const auto image = Image::Parse(file)) {
        ++parsed;
        ExpectConsistent(*image, file);
      }
      if (::testing::Test::HasFatalFailure()) FAIL() << "trial " << trial;
    }
    // Most flips hit bytes no check reads; a parser refusing everything would
    // pass the loop above.
    EXPECT_GT(parsed, 300);
  }
}

}  // namespace
}  // namespace varnock::exe
