// Guards against a stream decoder that mis-sizes an instruction, lets a 32-bit
// sum wrap, reads outside the patch or the source, or writes a run it refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "apply/InstructionStream.h"
#include "common/Errors.h"
#include "io/FileMapping.h"
#include "support/ErrorMatch.h"
#include "support/PatchBuilder.h"
#include "support/TempDir.h"

namespace varnock {
namespace {

using testing::Bytes;
using testing::Copy;
using testing::LongLiteral;
using testing::MemoryStream;
using testing::RaisesError;
using testing::ShortLiteral;

constexpr char kUnexpectedEnd[] = "Unexpected end of patch file";
constexpr std::uint64_t k2To31 = 0x80000000;

Bytes Ascending(std::size_t size, std::uint8_t first) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

// 64 KiB and 16 bytes, so 16-bit offsets reach their top; nearby offsets hold
// different bytes, so a copy from the wrong place shows.
const Bytes& Source() {
  static const Bytes source = [] {
    Bytes bytes(0x10010);
    for (std::size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 8) * 17 + 5);
    return bytes;
  }();
  return source;
}

Bytes SourceRange(std::uint64_t offset, std::uint64_t length) {
  return Bytes(Source().begin() + static_cast<std::ptrdiff_t>(offset),
               Source().begin() + static_cast<std::ptrdiff_t>(offset + length));
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The instruction under test stands here, after filler, so that a decoder that
// loses track of its position shows.
constexpr std::uint64_t kAt = 7;
Bytes AtPosition(const Bytes& instruction_bytes) { return Join({Bytes(kAt, 0xEE), instruction_bytes}); }

const Bytes kStop{0x00};

// Header (12 bytes, no block), magic and version byte: a stream is appended.
Bytes NoStream() {
  testing::PatchFields layout;
  layout.stop = false;
  return testing::BuildPatch(layout, {});
}

std::string SeekMessage(std::uint64_t position) {
  return "Seek beyond source file end. Instruction at " + std::to_string(position);
}

Bytes RunOf(const DecodedRun& run) { return Bytes(run.bytes, run.bytes + run.length); }

struct RunCase {
  const char* name;
  Bytes instruction;
  Bytes run;
};

std::vector<RunCase> OneOfEachOpcode() {
  const Bytes long_short = Ascending(246, 1);
  const Bytes literal300 = Ascending(300, 9);
  return {
      {"short literal of 1", ShortLiteral(Bytes{0x41}), Bytes{0x41}},
      {"short literal of 246", ShortLiteral(long_short), long_short},
      {"literal-16 of 300", LongLiteral(0xF7, 300, literal300), literal300},
      {"literal-16 of 0", LongLiteral(0xF7, 0, {}), {}},
      {"literal-32 of 7", LongLiteral(0xF8, 7, Ascending(7, 0xF0)), Ascending(7, 0xF0)},
      {"literal-32 of 0", LongLiteral(0xF8, 0, {}), {}},
      {"copy-16/8", Copy(0xF9, 0x1234, 0xAB), SourceRange(0x1234, 0xAB)},
      {"copy-16/16", Copy(0xFA, 0xFEDC, 0x0123), SourceRange(0xFEDC, 0x0123)},
      {"copy-16/32", Copy(0xFB, 0x0003, 0x00010005), SourceRange(0x0003, 0x00010005)},
      {"copy-32/8", Copy(0xFC, 0x00010001, 0x0F), SourceRange(0x00010001, 0x0F)},
      {"copy-32/16", Copy(0xFD, 0x00000201, 0xF00F), SourceRange(0x00000201, 0xF00F)},
      {"copy-32/32", Copy(0xFE, 0x0000000F, 0x00010001), SourceRange(0x0000000F, 0x00010001)},
      {"copy of 0 at the source's end", Copy(0xFC, 0x10010, 0), {}},
  };
}

TEST(DecodeInstruction, EveryOpcodeYieldsExactlyItsRun) {
  for (const RunCase& c : OneOfEachOpcode()) {
    SCOPED_TRACE(c.name);
    Bytes patch = Join({AtPosition(c.instruction), kStop});
    DecodedRun run = DecodeInstruction(patch, Source(), kAt);
    EXPECT_EQ(RunOf(run), c.run);
    EXPECT_EQ(run.next, kAt + c.instruction.size());
  }
}

TEST(RunInstructionStream, WritesOneRunPerInstructionInOrder) {
  Bytes patch = NoStream();
  Bytes target;
  std::vector<std::int32_t> run_lengths;
  for (const RunCase& c : OneOfEachOpcode()) {
    patch.insert(patch.end(), c.instruction.begin(), c.instruction.end());
    target.insert(target.end(), c.run.begin(), c.run.end());
    if (!c.run.empty()) run_lengths.push_back(static_cast<std::int32_t>(c.run.size()));
  }
  patch.push_back(0x00);

  MemoryStream stream;
  RunInstructionStream(patch, Source(),
                       ValidatePatch(
                           patch, [] { return 0u; }, "p"),
                       stream);
  EXPECT_EQ(stream.contents, target);
  EXPECT_EQ(stream.run_lengths, run_lengths);
}

// Each instruction with its stop instruction fills the patch exactly: accepted.
// Any shorter patch leaves no room for the stop (or the operands): refused.
TEST(DecodeInstruction, NeedsRoomForTheWholeInstructionAndTheStop) {
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"short literal of 1", ShortLiteral(Bytes{0x41})},
      {"short literal of 246", ShortLiteral(Ascending(246, 0))},
      {"literal-16 of 0", LongLiteral(0xF7, 0, {})},
      {"literal-16 of 5", LongLiteral(0xF7, 5, Ascending(5, 1))},
      {"literal-32 of 0", LongLiteral(0xF8, 0, {})},
      {"literal-32 of 5", LongLiteral(0xF8, 5, Ascending(5, 1))},
      {"copy-16/8", Copy(0xF9, 1, 2)},
      {"copy-16/16", Copy(0xFA, 1, 2)},
      {"copy-16/32", Copy(0xFB, 1, 2)},
      {"copy-32/8", Copy(0xFC, 1, 2)},
      {"copy-32/16", Copy(0xFD, 1, 2)},
      {"copy-32/32", Copy(0xFE, 1, 2)},
  };
  for (const auto& [name, instruction] : cases) {
    Bytes whole = Join({AtPosition(instruction), kStop});
    {
      SCOPED_TRACE(name);
      EXPECT_EQ(DecodeInstruction(whole, Source(), kAt).next, kAt + instruction.size());
    }
    // The instruction must stand before the last byte, so the shortest patch
    // tried holds its opcode and one byte more.
    for (std::size_t size = kAt + 2; size < whole.size(); ++size) {
      SCOPED_TRACE(std::string(name) + ", patch of " + std::to_string(size) + " bytes");
      Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
      EXPECT_TRUE(RaisesError([&] { DecodeInstruction(cut, Source(), kAt); }, kUnexpectedEnd));
    }
  }
}

// A copy may end exactly at the source's end; one byte further is refused.
TEST(DecodeInstruction, CopyRangeMustLieInsideTheSource) {
  struct CopyCase {
    std::uint8_t opcode;
    std::uint64_t offset;
    std::uint64_t length;
  };
  const CopyCase cases[] = {
      {0xF9, 0xFF11, 0xFF}, {0xFA, 0x0011, 0xFFFF}, {0xFB, 0xFFFF, 0x10}, {0xFC, 0x10000, 0x10},
      {0xFD, 0x0001, 0x10}, {0xFE, 0x10, 0x10000},  {0xF9, 0x0005, 0x00}, {0xFE, 0x10010, 0x00},
  };
  for (const CopyCase& c : cases) {
    SCOPED_TRACE("opcode " + std::to_string(c.opcode) + " offset " + std::to_string(c.offset) + " length " +
                 std::to_string(c.length));
    ASSERT_LE(c.offset + c.length, Source().size());
    Bytes patch = Join({AtPosition(Copy(c.opcode, c.offset, c.length)), kStop});
    ByteSpan fits = ByteSpan(Source()).first(c.offset + c.length);
    DecodedRun run = DecodeInstruction(patch, fits, kAt);
    EXPECT_EQ(RunOf(run), SourceRange(c.offset, c.length));

    // For a copy of 0 bytes: a source that ends before the offset.
    ByteSpan short_by_one = ByteSpan(Source()).first(c.offset + c.length - 1);
    EXPECT_TRUE(RaisesError([&] { DecodeInstruction(patch, short_by_one, kAt); }, SeekMessage(kAt)));
  }
}

// Sums that exceed 2^32 - 1 and would look small if taken at 32 bits. The
// length or source tests refuse them before any range-check error.
TEST(DecodeInstruction, SumsDoNotWrapAt32Bits) {
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {LongLiteral(0xF7, 0xFFFF, Ascending(3, 1)), kUnexpectedEnd},
      {LongLiteral(0xF8, 0x80000000, Ascending(3, 1)), kUnexpectedEnd},
      {LongLiteral(0xF8, 0xFFFFFFFA, Ascending(3, 1)), kUnexpectedEnd},
      {LongLiteral(0xF8, 0xFFFFFFFF, Ascending(3, 1)), kUnexpectedEnd},
      {Copy(0xFB, 0xFFFF, 0xFFFFFFFF), SeekMessage(kAt)},
      {Copy(0xFB, 0x0011, 0xFFFFFFFF), SeekMessage(kAt)},
      {Copy(0xFB, 0x0000, 0x80000000), SeekMessage(kAt)},
      {Copy(0xFC, 0xFFFFFFFF, 0x01), SeekMessage(kAt)},
      {Copy(0xFC, 0xFFFFFFF0, 0x20), SeekMessage(kAt)},
      {Copy(0xFD, 0xFFFF0001, 0xFFFF), SeekMessage(kAt)},
      {Copy(0xFD, 0xFFFFFFFF, 0xFFFF), SeekMessage(kAt)},
      {Copy(0xFE, 0x80000000, 0x80000000), SeekMessage(kAt)},
      {Copy(0xFE, 0x00000001, 0xFFFFFFFF), SeekMessage(kAt)},
      {Copy(0xFE, 0xFFFFFFFF, 0xFFFFFFFF), SeekMessage(kAt)},
      {Copy(0xFE, 0x00000000, 0xFFFFFFFF), SeekMessage(kAt)},
  };
  for (const auto& [instruction, message] : cases) {
    Bytes patch = Join({AtPosition(instruction), kStop});
    EXPECT_TRUE(RaisesError([&] { DecodeInstruction(patch, Source(), kAt); }, message))
        << ::testing::PrintToString(instruction);
  }
}

TEST(DecodeInstruction, StopAndOpcodeFFAreRefusedWherever) {
  // 0xFF is refused for what it is, even with no byte after it but the stop.
  EXPECT_TRUE(RaisesError(
      [] {
        DecodeInstruction(Bytes{0xFF, 0x00}, Source(), 0);
      },
      "64-bit length of file is not supported in this version"));
  EXPECT_TRUE(RaisesError([] { DecodeInstruction(AtPosition(Bytes(20, 0xFF)), Source(), kAt); },
                          "64-bit length of file is not supported in this version"));
  EXPECT_TRUE(RaisesError(
      [] {
        DecodeInstruction(AtPosition(Bytes{0x00, 0x00}), Source(), kAt);
      },
      "Unexpected stop instruction before end of patch file"));
}

Bytes StreamPatch(std::initializer_list<Bytes> parts) {
  Bytes patch = NoStream();
  for (const Bytes& part : parts) patch.insert(patch.end(), part.begin(), part.end());
  return patch;
}

void ApplyStream(ByteSpan patch, ByteSpan source, MemoryStream& target) {
  RunInstructionStream(patch, source,
                       ValidatePatch(
                           patch, [] { return 0u; }, "p"),
                       target);
}

TEST(RunInstructionStream, EmptyStreamWritesNothing) {
  MemoryStream target;
  ApplyStream(StreamPatch({kStop}), Source(), target);
  EXPECT_TRUE(target.contents.empty());
  EXPECT_TRUE(target.run_lengths.empty());
}

TEST(RunInstructionStream, PatchEndingWithTheVersionByteIsAnInternalError) {
  MemoryStream target;
  EXPECT_TRUE(RaisesError([&] { ApplyStream(StreamPatch({}), Source(), target); },
                          "Internal error checking the stop instruction"));
  EXPECT_TRUE(target.run_lengths.empty());
}

// The example patch of the format: "XY" then source bytes 2 to 5.
TEST(RunInstructionStream, WorkedExample) {
  Bytes patch = StreamPatch({ShortLiteral(testing::ToBytes("XY")), Copy(0xF9, 2, 4), kStop});
  ASSERT_EQ(patch.size(), 25u);
  Bytes source = testing::ToBytes("abcdef");

  MemoryStream target;
  ApplyStream(patch, Bytes(source), target);
  EXPECT_EQ(target.contents, testing::ToBytes("XYcdef"));

  MemoryStream short_target;
  Bytes short_source(source.begin(), source.end() - 1);
  EXPECT_TRUE(RaisesError([&] { ApplyStream(patch, short_source, short_target); }, SeekMessage(20)));
  EXPECT_EQ(short_target.contents, testing::ToBytes("XY"));
}

// Whatever fails, the target holds exactly the runs before the failing instruction.
TEST(RunInstructionStream, FailureKeepsTheRunsBeforeIt) {
  const Bytes before =
      Join({ShortLiteral(testing::ToBytes("ab")), Copy(0xF9, 1, 3), LongLiteral(0xF7, 0, {})});
  const Bytes written = Join({testing::ToBytes("ab"), SourceRange(1, 3)});
  const std::uint64_t failing_at = NoStream().size() + before.size();
  const std::vector<std::tuple<const char*, Bytes, std::string>> cases = {
      {"inner stop", {0x00, 0x41, 0x00}, "Unexpected stop instruction before end of patch file"},
      {"opcode 0xFF", {0xFF, 0x41, 0x42, 0x00}, "64-bit length of file is not supported in this version"},
      {"opcode 0xFF second to last", {0xFF, 0x00}, "64-bit length of file is not supported in this version"},
      {"copy past the source", Join({Copy(0xFA, 0x10000 - 1, 0x12), kStop}), SeekMessage(failing_at)},
      {"literal reaching the last byte", ShortLiteral(testing::ToBytes("cde")), kUnexpectedEnd},
      {"literal-16 longer than the patch", Join({LongLiteral(0xF7, 10, Ascending(5, 1)), kStop}),
       kUnexpectedEnd},
      {"last byte not a stop", {0x41}, kUnexpectedEnd},
  };
  for (const auto& [name, tail, message] : cases) {
    SCOPED_TRACE(name);
    Bytes patch = StreamPatch({before, tail});
    MemoryStream target;
    EXPECT_TRUE(RaisesError([&] { ApplyStream(patch, ByteSpan(Source()).first(0x10000), target); }, message));
    EXPECT_EQ(target.contents, written);
    EXPECT_EQ(target.run_lengths, (std::vector<std::int32_t>{2, 3}));
  }
}

// Every prefix of a valid patch is refused with one of the system's errors,
// and has written exactly the runs of the instructions that fit before its
// last byte. Each prefix is its own allocation, so a read past it is caught by
// the sanitizers.
TEST(RunInstructionStream, EveryTruncationIsRefusedAfterTheRunsThatFit) {
  const std::vector<Bytes> instructions = {ShortLiteral(testing::ToBytes("Hello")),
                                           LongLiteral(0xF7, 3, Ascending(3, 0x61)),
                                           LongLiteral(0xF8, 2, Ascending(2, 0x71)),
                                           Copy(0xF9, 0x0102, 0x03),
                                           Copy(0xFA, 0x0203, 0x0004),
                                           Copy(0xFB, 0x0304, 0x00000005),
                                           Copy(0xFC, 0x00000405, 0x06),
                                           Copy(0xFD, 0x00000506, 0x0007),
                                           Copy(0xFE, 0x00000607, 0x00000008),
                                           ShortLiteral(Bytes{0x7A})};
  testing::PatchFields layout;
  layout.header_block = testing::ToBytes("block");
  layout.source_crc = 0x5EC0DE01;
  Bytes full = testing::BuildPatch(layout, {});
  full.pop_back();  // the stop goes after the instructions
  const std::uint64_t stream_start = full.size();

  MemoryStream whole;
  std::vector<std::uint64_t> ends;  // where each instruction ends
  for (const Bytes& instruction : instructions) {
    full.insert(full.end(), instruction.begin(), instruction.end());
    ends.push_back(full.size());
  }
  full.push_back(0x00);
  auto checksum = [&] { return layout.source_crc; };
  RunInstructionStream(full, Source(), ValidatePatch(full, checksum, "p"), whole);
  ASSERT_EQ(whole.run_lengths.size(), instructions.size());

  const std::set<std::string> truncation_errors = {
      "Patch file contains no header.", "Patch file header corrupted.",
      "Internal error checking the stop instruction", kUnexpectedEnd};
  for (std::size_t size = 0; size < full.size(); ++size) {
    SCOPED_TRACE("patch cut to " + std::to_string(size) + " bytes");
    auto cut = std::make_unique<std::uint8_t[]>(size);
    std::copy_n(full.begin(), size, cut.get());
    ByteSpan patch(cut.get(), size);
    MemoryStream target;
    try {
      RunInstructionStream(patch, Source(), ValidatePatch(patch, checksum, "p"), target);
      ADD_FAILURE() << "accepted";
    } catch (const Exception& error) {
      EXPECT_TRUE(truncation_errors.count(error.Message())) << error.Message();
    }
    std::size_t fitting = 0;
    if (size >= stream_start) {
      while (fitting < ends.size() && ends[fitting] < size) ++fitting;
    }
    std::vector<std::int32_t> expected(whole.run_lengths.begin(),
                                       whole.run_lengths.begin() + static_cast<std::ptrdiff_t>(fitting));
    EXPECT_EQ(target.run_lengths, expected);
    EXPECT_TRUE(std::equal(target.contents.begin(), target.contents.end(), whole.contents.begin()));
  }
}

// Runs of 2^31 bytes or more need a patch or a source that large: a sparse
// file, mapped and never read beyond its first bytes, stands in for both.
class HugeSpans : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kSize = k2To31 + 16;

  static void SetUpTestSuite() {
    directory_ = new testing::TempDir;
    // At 0: a literal-32 of 2^31 bytes; at 8: one of 2^31 - 1.
    std::string name = directory_->Write("huge", {0xF8, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //
                                                  0xF8, 0x7F, 0xFF, 0xFF, 0xFF});
    std::error_code error;
    std::filesystem::resize_file(name, kSize, error);
    if (error) return;
    try {
      mapping_ = new TFileMappingAsByteArray(name);
    } catch (const EOSError&) {
      // A 32-bit process has no room for a view of 2 GiB.
    }
  }
  static void TearDownTestSuite() {
    delete mapping_;
    delete directory_;
    mapping_ = nullptr;
    directory_ = nullptr;
  }
  void SetUp() override {
    if (mapping_ == nullptr) GTEST_SKIP() << "no sparse file of 2 GiB could be made or mapped here";
  }

  static ByteSpan Huge(std::uint64_t size) { return mapping_->Bytes().first(size); }

  static inline testing::TempDir* directory_ = nullptr;
  static inline TFileMappingAsByteArray* mapping_ = nullptr;
};

TEST_F(HugeSpans, Literal32OfTwoTo31IsARangeErrorOnlyOnceItFits) {
  // p + L + 6 <= F, at the limit and one past it.
  EXPECT_TRUE(
      RaisesError<ERangeError>([] { DecodeInstruction(Huge(k2To31 + 6), {}, 0); }, "Range check error"));
  EXPECT_TRUE(RaisesError([] { DecodeInstruction(Huge(k2To31 + 5), {}, 0); }, kUnexpectedEnd));
}

TEST_F(HugeSpans, Literal32OfTwoTo31MinusOneIsARun) {
  const std::uint64_t limit = 8 + (k2To31 - 1) + 6;
  DecodedRun run = DecodeInstruction(Huge(limit), {}, 8);
  EXPECT_EQ(run.length, k2To31 - 1);
  EXPECT_EQ(run.bytes, mapping_->Data() + 13);
  EXPECT_EQ(run.next, limit - 1);
  EXPECT_TRUE(RaisesError([&] { DecodeInstruction(Huge(limit - 1), {}, 8); }, kUnexpectedEnd));
}

TEST_F(HugeSpans, Copy32BitLengthsOfTwoTo31AreRangeErrorsInsideTheSource) {
  const std::vector<std::tuple<Bytes, std::uint64_t, std::string>> refused = {
      {Copy(0xFB, 0x0000, k2To31), kSize, "Range check error"},
      {Copy(0xFB, 0x0010, k2To31), kSize, "Range check error"},
      {Copy(0xFB, 0x0010, k2To31), kSize - 1, SeekMessage(kAt)},
      {Copy(0xFB, 0x0000, 0xFFFFFFFF), kSize, SeekMessage(kAt)},
      {Copy(0xFE, 0x00000010, k2To31), kSize, "Range check error"},
      {Copy(0xFE, 0x00000010, k2To31), kSize - 1, SeekMessage(kAt)},
      {Copy(0xFE, 0x00000000, k2To31 + 16), kSize, "Range check error"},
  };
  for (const auto& [instruction, source_size, message] : refused) {
    Bytes patch = Join({AtPosition(instruction), kStop});
    ByteSpan source = Huge(source_size);
    EXPECT_TRUE(RaisesError([&] { DecodeInstruction(patch, source, kAt); }, message))
        << ::testing::PrintToString(instruction) << " on a source of " << source_size;
  }
  for (std::uint8_t code : {0xFB, 0xFE}) {
    Bytes patch = Join({AtPosition(Copy(code, 3, k2To31 - 1)), kStop});
    DecodedRun run = DecodeInstruction(patch, Huge(kSize), kAt);
    EXPECT_EQ(run.bytes, mapping_->Data() + 3);
    EXPECT_EQ(run.length, k2To31 - 1);
  }
}

TEST_F(HugeSpans, RangeErrorKeepsTheRunsBeforeIt) {
  Bytes patch = StreamPatch({ShortLiteral(testing::ToBytes("ab")), Copy(0xFE, 0, k2To31), kStop});
  MemoryStream target;
  EXPECT_TRUE(
      RaisesError<ERangeError>([&] { ApplyStream(patch, Huge(kSize), target); }, "Range check error"));
  EXPECT_EQ(target.contents, testing::ToBytes("ab"));
}

}  // namespace
}  // namespace varnock
