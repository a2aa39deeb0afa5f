// Guards against a stream over ranges that disagrees with the stream over
// spans (target, error, message) whatever the block size, the blocks held and
// the patch window; against a cache that reads a block it holds again; and
// against a failed read that is lost or leaves more than a prefix behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "apply/InstructionStream.h"
#include "apply/RangedStream.h"
#include "common/Errors.h"
#include "format/Instruction.h"
#include "support/PatchBuilder.h"

namespace varnock {
namespace {

using testing::Bytes;

// Bytes in memory read by ranges, counting what was read; the read that
// would pass `fail_after` bytes raises instead.
class MemoryRanges final : public InputRanges {
 public:
  explicit MemoryRanges(const Bytes& bytes) : bytes_(bytes) {}

  std::uint64_t Size() const noexcept override { return bytes_.size(); }
  void Read(std::uint64_t offset, std::span<std::uint8_t> into) override {
    EXPECT_LE(offset + into.size(), bytes_.size());
    if (read_ + into.size() > fail_after) throw Exception("read failed");
    read_ += into.size();
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
  }
  std::uint64_t BytesRead() const { return read_; }

  std::uint64_t fail_after = ~std::uint64_t{0};

 private:
  const Bytes& bytes_;
  std::uint64_t read_ = 0;
};

// What a stream left: the target and the error it raised, if any.
struct Result {
  Bytes target;
  std::optional<std::string> error;
  bool operator==(const Result&) const = default;
};

template <typename Run>
Result Collect(Run&& run) {
  testing::MemoryStream target;
  Result result;
  try {
    run(target);
  } catch (const Exception& error) {
    result.error = error.Message();
  }
  result.target = target.contents;
  return result;
}

constexpr PatchHeader kHeader{12, 0, 0};

// A random stream for `source`: copies of every width (short ones, ones that
// span blocks, ones longer than the whole cache), literals of every opcode,
// and sometimes one damaged byte or a cut end, so that faults are met too.
Bytes RandomPatch(std::mt19937& random, const Bytes& source) {
  auto below = [&](std::uint64_t bound) {
    return std::uniform_int_distribution<std::uint64_t>(0, bound - 1)(random);
  };
  Bytes patch = testing::BuildPatch({}, {});
  patch.pop_back();  // the stop instruction, appended again at the end
  const int instructions = 1 + static_cast<int>(below(40));
  for (int i = 0; i < instructions; ++i) {
    Bytes instruction;
    if (below(2) == 0 && !source.empty()) {
      const std::uint64_t length =
          below(4) == 0 ? below(source.size() + 1) : below(std::min<std::uint64_t>(64, source.size() + 1));
      const std::uint64_t offset = below(source.size() - length + 1);
      const auto opcode = static_cast<std::uint8_t>(
          length > 0xFFFF   ? 0xFE
          : offset > 0xFFFF ? 0xFD
                            : 0xF9 + below(3) * (length > 0xFF ? 0 : 1) + (length > 0xFF ? 1 : 0));
      instruction = testing::Copy(opcode, offset, length);
    } else {
      Bytes literal(1 + below(below(8) == 0 ? 3000 : 100));
      for (auto& byte : literal) byte = static_cast<std::uint8_t>(below(256));
      instruction = literal.size() <= 0xF6
                        ? testing::ShortLiteral(literal)
                        : testing::LongLiteral(below(2) ? 0xF7 : 0xF8, literal.size(), literal);
    }
    patch.insert(patch.end(), instruction.begin(), instruction.end());
  }
  patch.push_back(opcode::kStop);
  switch (below(6)) {
    case 0:
      patch[12 + kSignatureSize + below(patch.size() - 12 - kSignatureSize)] =
          static_cast<std::uint8_t>(below(256));
      break;
    case 1:
      patch.resize(12 + kSignatureSize + 1 + below(patch.size() - 12 - kSignatureSize));
      break;
    default:
      break;
  }
  return patch;
}

TEST(RangedStream, AgreesWithTheStreamOverSpansWhateverTheCacheAndWindow) {
  std::mt19937 random(20261207);
  int faults = 0;
  int evictions = 0;
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    Bytes source(std::uniform_int_distribution<std::size_t>(0, 20000)(random));
    for (auto& byte : source) byte = static_cast<std::uint8_t>(random());
    const Bytes patch = RandomPatch(random, source);
    const unsigned shift = std::uniform_int_distribution<unsigned>(4, 12)(random);
    const unsigned page_shift = std::uniform_int_distribution<unsigned>(0, shift)(random);
    const std::size_t slots = std::uniform_int_distribution<std::size_t>(0, 12)(random);
    const std::size_t window = std::uniform_int_distribution<std::size_t>(16, 5000)(random);

    const Result spans =
        Collect([&](TStream& target) { RunInstructionStream(patch, source, kHeader, target); });
    MemoryRanges source_ranges(source), patch_ranges(patch);
    SourceCache cache(source_ranges, slots << shift, shift, page_shift);
    PatchWindow patch_window(patch_ranges, window);
    const Result ranges =
        Collect([&](TStream& target) { RunRangedStream(patch_window, cache, kHeader, target, nullptr); });
    EXPECT_EQ(ranges, spans) << "block " << (1u << shift) << ", page " << (1u << page_shift) << ", slots "
                             << cache.Slots() << ", window " << window;
    // The patch is read front to back once, bar the few bytes of an
    // instruction's head that a window's end cut.
    EXPECT_LE(patch_ranges.BytesRead(),
              patch.size() + (decode::kLongestInstructionHead - 1) * (patch.size() / (window - 8) + 1));
    PatchWindow count_window(patch_ranges, window);
    EXPECT_EQ(CountRangedTarget(count_window, source.size(), kHeader), spans.target.size());
    faults += spans.error.has_value();
    evictions += source_ranges.BytesRead() > source.size();
  }
  // The rounds met faults, and caches too small for what they were asked.
  EXPECT_GT(faults, 40);
  EXPECT_GT(evictions, 40);
}

TEST(RangedStream, ACacheAsLargeAsTheSourceReadsItOnce) {
  Bytes source(10000);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
  // Copies back and forth over every block, after the checksum's pass.
  const Bytes target_parts[] = {Bytes(source.begin() + 9000, source.end()),
                                Bytes(source.begin(), source.begin() + 5000)};
  const Bytes patch =
      testing::BuildPatch({}, {testing::Copy(0xFA, 9000, 1000), testing::Copy(0xFA, 0, 5000),
                               testing::Copy(0xFA, 9000, 1000), testing::Copy(0xFA, 0, 5000)});
  MemoryRanges source_ranges(source), patch_ranges(patch);
  SourceCache cache(source_ranges, 10240, 10);
  std::uint64_t told = 0;
  EXPECT_EQ(cache.Checksum([&](std::uint64_t done) { told = done; }), Crc32(source));
  EXPECT_EQ(told, 9 << 10);  // before the last block
  PatchWindow window(patch_ranges);
  const Result result =
      Collect([&](TStream& target) { RunRangedStream(window, cache, kHeader, target, nullptr); });
  EXPECT_FALSE(result.error.has_value());
  Bytes expected;
  for (int twice = 0; twice < 2; ++twice)
    for (const Bytes& part : target_parts) expected.insert(expected.end(), part.begin(), part.end());
  EXPECT_EQ(result.target, expected);
  EXPECT_EQ(source_ranges.BytesRead(), source.size());
}

TEST(RangedStream, ARunThroughASourceLargerThanTheCacheKeepsTheBlocksHeldAfterTheChecksum) {
  // Ten blocks, four held: the checksum's pass leaves blocks 6 to 9 held;
  // copying the source in order from its start reads blocks 0 to 6 into one
  // slot, one after the other, and finds 7 to 9 still held.
  Bytes source(10 << 8);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 11 + (i >> 8));
  Bytes stream;
  for (std::uint64_t offset = 0; offset < source.size(); offset += 100) {
    const Bytes copy = testing::Copy(0xFA, offset, std::min<std::uint64_t>(100, source.size() - offset));
    stream.insert(stream.end(), copy.begin(), copy.end());
  }
  const Bytes patch = testing::BuildPatch({}, {stream});
  MemoryRanges source_ranges(source), patch_ranges(patch);
  SourceCache cache(source_ranges, 4 << 8, 8);
  EXPECT_EQ(cache.Checksum([](std::uint64_t) {}), Crc32(source));
  PatchWindow window(patch_ranges);
  const Result result =
      Collect([&](TStream& target) { RunRangedStream(window, cache, kHeader, target, nullptr); });
  EXPECT_EQ(result, (Result{source, std::nullopt}));
  EXPECT_EQ(source_ranges.BytesRead(), (10 + 7) << 8);
}

TEST(RangedStream, AShortCopyFromABlockNotHeldReadsItsPagesAndARunReadsOn) {
  // Sixteen blocks of 256 bytes in pages of 16, two held: the checksum's
  // pass leaves blocks 14 and 15.
  Bytes source(16 << 8);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 29 + (i >> 8));
  struct Case {
    const char* what;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> copies;  // offset, length
    std::uint64_t read;                                           // after the checksum's pass
  };
  const Case cases[] = {
      {"one page", {{3 * 256 + 20, 8}}, 16},
      {"the pages it spans", {{5 * 256 + 40, 40}}, 48},
      {"a held block", {{15 * 256 + 7, 200}}, 0},
      {"two pages apart", {{3 * 256 + 20, 8}, {3 * 256 + 100, 8}}, 32},
      {"twice the last read where a read goes on", {{3 * 256 + 20, 8}, {3 * 256 + 30, 8}}, 16 + 32},
      {"up to the block's end", {{8 * 256, 100}, {8 * 256 + 100, 100}}, 112 + 144},
      {"whole blocks while it goes on", {{8 * 256, 100}, {8 * 256 + 100, 300}, {9 * 256 + 144, 112}}, 512},
      {"across a block's end", {{6 * 256 + 250, 20}}, 16 + 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes stream, expected;
    for (const auto& [offset, length] : c.copies) {
      const Bytes copy = testing::Copy(0xFA, offset, length);
      stream.insert(stream.end(), copy.begin(), copy.end());
      expected.insert(expected.end(), source.begin() + static_cast<std::ptrdiff_t>(offset),
                      source.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }
    const Bytes patch = testing::BuildPatch({}, {stream});
    MemoryRanges source_ranges(source), patch_ranges(patch);
    SourceCache cache(source_ranges, 2 << 8, 8, 4);
    EXPECT_EQ(cache.Checksum([](std::uint64_t) {}), Crc32(source));
    PatchWindow window(patch_ranges);
    const Result result =
        Collect([&](TStream& target) { RunRangedStream(window, cache, kHeader, target, nullptr); });
    EXPECT_EQ(result, (Result{expected, std::nullopt}));
    EXPECT_EQ(source_ranges.BytesRead() - source.size(), c.read);
  }
}

TEST(RangedStream, AFailedReadStopsTheStreamWithAPrefixOfTheTarget) {
  Bytes source(5000);
  for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 13);
  const Bytes literal(700, 0x5A);
  const Bytes patch = testing::BuildPatch(
      {}, {testing::Copy(0xFA, 100, 4800), testing::LongLiteral(0xF7, literal.size(), literal),
           testing::Copy(0xFA, 0, 3000)});
  const Result whole =
      Collect([&](TStream& target) { RunInstructionStream(patch, source, kHeader, target); });
  ASSERT_FALSE(whole.error.has_value());
  // Each input failing at each point a read can fail.
  for (const bool source_fails : {true, false}) {
    for (std::uint64_t fail_after = 0;; fail_after += 64) {
      SCOPED_TRACE(fail_after);
      MemoryRanges source_ranges(source), patch_ranges(patch);
      (source_fails ? source_ranges : patch_ranges).fail_after = fail_after;
      SourceCache cache(source_ranges, 2 << 8, 8);
      PatchWindow window(patch_ranges, 64);
      const Result result =
          Collect([&](TStream& target) { RunRangedStream(window, cache, kHeader, target, nullptr); });
      if (!result.error) {
        EXPECT_EQ(result, whole);
        break;
      }
      EXPECT_EQ(*result.error, "read failed");
      ASSERT_LE(result.target.size(), whole.target.size());
      EXPECT_TRUE(std::equal(result.target.begin(), result.target.end(), whole.target.begin()));
    }
  }
}

}  // namespace
}  // namespace varnock
