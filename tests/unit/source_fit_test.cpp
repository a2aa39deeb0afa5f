// Guards against a judgement of a source that tells another story than
// applying would: a length the patch carries or its copies' reach checked
// before a byte is read, each boundary on the right side, the CRC-32 of the
// whole file compared, and its progress told from nothing read to all of it.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "apply/PatchInfo.h"
#include "common/Crc32.h"
#include "support/PatchBuilder.h"

namespace varnock {
namespace {

using testing::Bytes;
using Verdict = SourceFit::Verdict;

// Bytes in memory, counting the bytes read.
class CountedRanges final : public InputRanges {
 public:
  explicit CountedRanges(const Bytes& bytes) : bytes_(bytes) {}
  std::uint64_t Size() const noexcept override { return bytes_.size(); }
  void Read(std::uint64_t offset, std::span<std::uint8_t> into) override {
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
    read += into.size();
  }
  std::uint64_t read = 0;

 private:
  const Bytes& bytes_;
};

Bytes Filled(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + seed);
  return bytes;
}

// A raw patch whose one copy reaches `reach` bytes into `source`, read whole.
PatchInfo InfoOfCopy(const Bytes& source, std::uint64_t reach) {
  const Bytes patch = testing::BuildPatchFor(source, Bytes(source.begin(), source.begin() + reach),
                                             {testing::Copy(0xFE, 0, reach)});
  SpanRanges ranges(patch);
  return InspectPatch(ranges, /*scan=*/true, "patch");
}

TEST(JudgeSource, LengthThenChecksum) {
  const Bytes source = Filled(3 << 20, 1);
  PatchInfo copying = InfoOfCopy(source, 1000);
  PatchInfo carried = copying;  // as a container tells it: the length, no counts
  carried.counts.reset();
  carried.source_size = source.size();
  struct Row {
    const char* what;
    const PatchInfo* info;
    Bytes file;
    Verdict verdict;
    bool reads_whole;
  };
  Bytes changed = source;
  changed[source.size() - 1] ^= 1;
  const Row rows[] = {
      {"the source itself", &copying, source, Verdict::kFits, true},
      {"a file just as long as the copy reaches, another CRC-32", &copying,
       Bytes(source.begin(), source.begin() + 1000), Verdict::kWrongChecksum, true},
      {"a file one byte shorter than the copy reaches", &copying, Bytes(source.begin(), source.begin() + 999),
       Verdict::kTooShort, false},
      {"a changed last byte", &copying, changed, Verdict::kWrongChecksum, true},
      {"the carried length and CRC-32", &carried, source, Verdict::kFits, true},
      {"one byte longer than the carried length", &carried, Filled(source.size() + 1, 1),
       Verdict::kWrongLength, false},
      {"one byte shorter than the carried length", &carried, Bytes(source.begin(), source.end() - 1),
       Verdict::kWrongLength, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    CountedRanges file(row.file);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> told;
    const SourceFit fit = JudgeSource(
        *row.info, file, [&](std::uint64_t done, std::uint64_t total) { told.emplace_back(done, total); });
    EXPECT_EQ(fit.verdict, row.verdict);
    EXPECT_EQ(fit.size, row.file.size());
    if (!row.reads_whole) {
      EXPECT_EQ(file.read, 0u);
      EXPECT_FALSE(fit.crc.has_value());
      EXPECT_TRUE(told.empty());
      continue;
    }
    EXPECT_EQ(file.read, row.file.size());
    EXPECT_EQ(fit.crc, std::optional<std::uint32_t>(Crc32(row.file)));
    // From nothing read to all of it, never back, always of the file's length.
    ASSERT_GE(told.size(), 2u);
    EXPECT_EQ(told.front(), std::make_pair(std::uint64_t{0}, std::uint64_t{row.file.size()}));
    EXPECT_EQ(told.back(), std::make_pair(std::uint64_t{row.file.size()}, std::uint64_t{row.file.size()}));
    for (std::size_t i = 1; i < told.size(); ++i) {
      EXPECT_LT(told[i - 1].first, told[i].first);
      EXPECT_EQ(told[i].second, row.file.size());
    }
  }
}

}  // namespace
}  // namespace varnock
