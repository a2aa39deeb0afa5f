// Guards the inputs' pages the maker hands back: a pass that keeps them all
// (the memory of a 128 MiB pair is then its inputs), or that hands back the
// wrong ones, or a check that reads a long copy a step at a time and loses
// its place in it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/Crc32.h"
#include "io/FileMapping.h"
#include "make/PatchFile.h"
#include "make/PatchVerifier.h"
#include "make/ViewPages.h"
#include "support/ErrorMatch.h"
#include "support/MakerHarness.h"
#include "support/PatchBuilder.h"
#include "support/TempDir.h"

namespace varnock {
namespace {

using maker::kReleaseStep;
using maker::PassedPages;
using maker::TouchedPages;
using maker::ViewPages;
using testing::Bytes;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

Bytes Random(std::mt19937& random, std::uint64_t size) {
  Bytes bytes(size);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// The bytes of the mapping that holds `at` that the process holds (Linux).
std::uint64_t ResidentAround(const std::uint8_t* at) {
  std::FILE* maps = std::fopen("/proc/self/smaps", "r");
  if (maps == nullptr) return 0;
  char line[512];
  bool inside = false;
  std::uint64_t resident = 0;
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned long low = 0;
    unsigned long high = 0;
    char dash = 0;
    if (std::sscanf(line, "%lx%c%lx", &low, &dash, &high) == 3 && dash == '-') {
      const auto address = reinterpret_cast<std::uintptr_t>(at);
      inside = address >= low && address < high;
    } else if (inside && std::strncmp(line, "Rss:", 4) == 0) {
      resident = std::stoull(line + 4) * 1024;
    }
  }
  std::fclose(maps);
  return resident;
}

TEST(ViewPages, APassReadsTheWholeViewAndHoldsAboutAStepOfIt) {
  std::mt19937 random(51);
  testing::TempDir dir;
  for (const std::uint64_t size :
       {std::uint64_t{1}, kReleaseStep - 1, kReleaseStep, kReleaseStep + 1, 5 * kReleaseStep + 4099}) {
    const Bytes bytes = Random(random, size);
    TFileMappingAsByteArray file(dir.Write("input", bytes));
    const ViewPages pages(true);
    // The CRC-32 taken a step at a time is the whole view's.
    EXPECT_EQ(maker::Crc32Passing(pages, file.Bytes()), Crc32(bytes)) << size;
    EXPECT_LE(ResidentAround(file.Data()), 64 * 1024) << size;
    // A pass that reads a byte a page, as a table of blocks does.
    std::uint64_t most = 0;
    {
      PassedPages passed(pages, file.Bytes());
      std::uint32_t sum = 0;
      for (std::uint64_t at = 0; at < size; at += 4096) {
        sum += file.Data()[at];
        passed.Reached(at);
        if (at % (64 * 4096) == 0) most = std::max(most, ResidentAround(file.Data()));
      }
      EXPECT_NE(sum, 1u);  // read, not left out
    }
    EXPECT_LE(most, kReleaseStep + 4 * kMiB) << size;
    EXPECT_LE(ResidentAround(file.Data()), 64 * 1024) << size;
  }
}

TEST(ViewPages, ReadsHereAndThereHoldAFewPartsAtMost) {
  std::mt19937 random(52);
  testing::TempDir dir;
  const std::uint64_t size = 13 * TouchedPages::kPartSize + 100;
  TFileMappingAsByteArray file(dir.Write("input", Random(random, size)));
  const ViewPages pages(true);
  TouchedPages touched(pages, file.Bytes());
  std::uint64_t most = 0;
  for (int read = 0; read < 200; ++read) {
    const std::uint64_t at = random() % (size - 100);
    touched.Read(file.Bytes().subspan(at, 100));
    volatile std::uint8_t byte = file.Data()[at];
    (void)byte;
    most = std::max(most, ResidentAround(file.Data()));
  }
  EXPECT_LE(most, TouchedPages::kLeastRoom + TouchedPages::kPartSize);
}

// A copy of most of the source is compared a step at a time: a difference in
// any step is found where it is, in a view of a file or in memory.
TEST(ViewPages, TheCheckFindsADifferenceInAnyStepOfALongCopy) {
  std::mt19937 random(53);
  testing::TempDir dir;
  const Bytes source = Random(random, 3 * kReleaseStep + 77);
  const std::string source_name = dir.Write("source", source);
  TFileMappingAsByteArray source_file(source_name);
  const std::uint64_t length = source.size() - 10;
  for (const std::uint64_t at :
       {std::uint64_t{0}, kReleaseStep - 1, kReleaseStep, 2 * kReleaseStep + 5, length - 1, length}) {
    Bytes target(source.begin() + 10, source.end());
    if (at < length) target[at] ^= 0x40;
    const Bytes patch = testing::BuildPatchFor(source, target, {testing::Copy(0xFE, 10, length)});
    TFileMappingAsByteArray target_file(dir.Write("target", target));
    for (const bool file_views : {false, true}) {
      const ByteSpan source_bytes = file_views ? source_file.Bytes() : ByteSpan(source);
      const ByteSpan target_bytes = file_views ? target_file.Bytes() : ByteSpan(target);
      auto check = [&] { VerifyPatch(patch, source_bytes, target_bytes, {}, file_views); };
      if (at == length) {
        EXPECT_NO_THROW(check()) << file_views;
      } else {
        EXPECT_TRUE(testing::RaisesError(check,
                                         "The patch made does not rebuild the target: it makes a "
                                         "different byte at offset " +
                                             std::to_string(at)))
            << at << " " << file_views;
      }
    }
  }
}

// Handing pages back changes nothing in the patch.
TEST(ViewPages, APatchMadeFromFilesIsTheOneMadeInMemory) {
  std::mt19937 random(54);
  testing::TempDir dir;
  const Bytes source = Random(random, 6 * kReleaseStep);
  Bytes target;
  for (std::uint64_t at = 0; at < source.size();) {
    const std::uint64_t next = std::min<std::uint64_t>(source.size(), at + 1000 + random() % 200000);
    target.insert(target.end(), source.begin() + static_cast<std::ptrdiff_t>(at),
                  source.begin() + static_cast<std::ptrdiff_t>(next));
    const Bytes edit = Random(random, 1 + random() % 40);
    target.insert(target.end(), edit.begin(), edit.end());
    // Some edits repeat a stretch from elsewhere, for the index to find.
    if (random() % 2 == 0) {
      const std::uint64_t from = random() % (source.size() - 64);
      target.insert(target.end(), source.begin() + static_cast<std::ptrdiff_t>(from),
                    source.begin() + static_cast<std::ptrdiff_t>(from + 9 + random() % 50));
    }
    at = next + random() % 30;
  }
  PatchFileOptions options;
  options.maker.threads = 2;
  const std::string patch_name = dir.File("patch");
  MakePatchFile(dir.Write("source", source), dir.Write("target", target), patch_name, options);
  EXPECT_EQ(testing::TempDir::Read(patch_name), testing::MakeInMemory(source, target, options.maker));
}

}  // namespace
}  // namespace varnock
