// POSIX only: it reads the target while the writer still holds it, which a
// Windows share mode forbids.
// Guards against a gathering target writer or a decode-ahead that loses,
// reorders or repeats runs, leaves runs unwritten when an error leaves, or
// reports another error than carrying out one instruction at a time would.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <numeric>
#include <random>

#include "apply/InstructionStream.h"
#include "common/Errors.h"
#include "io/FileStream.h"
#include "programs/varnock/ApplyPatch.h"
#include "support/PatchBuilder.h"
#include "support/TempDir.h"

namespace varnock {
namespace {

using testing::Bytes;

// While it lives, every write to a regular file fails (EFBIG), as on a full
// disk: a file-size limit of 0, with its signal ignored as the program does.
class WritesFail {
 public:
  WritesFail() : old_handler_(signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    const rlimit none = {0, saved_.rlim_max};
    setrlimit(RLIMIT_FSIZE, &none);
  }
  ~WritesFail() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }
  WritesFail(const WritesFail&) = delete;
  WritesFail& operator=(const WritesFail&) = delete;

 private:
  void (*old_handler_)(int);
  rlimit saved_{};
};

class BufferedWriter : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return dir_.File(name); }
  std::string Save(const std::string& name, const Bytes& bytes) const { return dir_.Write(name, bytes); }
  Bytes Load(const std::string& name) const { return testing::TempDir::Read(PathOf(name)); }

  testing::TempDir dir_;
};

Bytes Pattern(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  Bytes bytes(count);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

constexpr std::int32_t kDirect = TFileStream::kDirectRunLength;
constexpr std::int32_t kBuffer = TFileStream::kBufferSize;

TEST_F(BufferedWriter, RunsOfEveryLengthLandInOrder) {
  const std::vector<std::vector<std::int32_t>> cases = {
      {1, 2, 3},
      {kDirect - 1, kDirect, 1, kDirect + 1, 7},
      {kBuffer - 5, 4, 1, 1, 9},  // fills the buffer exactly, then overflows it
      {kBuffer - 5, 6},           // a run that does not fit makes room first
      {kDirect - 1, kDirect - 1, 0, 3 * kBuffer, 0, 5},
      std::vector<std::int32_t>(40, kDirect - 1),  // several buffers' worth
  };
  const Bytes data = Pattern(3 * kBuffer + 1, 1);
  for (std::size_t c = 0; c < cases.size(); ++c) {
    const std::string name = "target" + std::to_string(c);
    Bytes expected;
    TFileStream writer(PathOf(name), TFileStream::fmCreate);
    std::size_t from = 0;
    for (std::int32_t length : cases[c]) {
      from = (from + 4099) % (data.size() - static_cast<std::size_t>(length));
      writer.WriteRun(data.data() + from, length);
      expected.insert(expected.end(), data.begin() + static_cast<std::ptrdiff_t>(from),
                      data.begin() + static_cast<std::ptrdiff_t>(from) + length);
    }
    writer.Flush();
    // Checked while the writer still holds the file: Flush alone hands everything over.
    EXPECT_EQ(Load(name), expected) << "case " << c;
  }
}

TEST_F(BufferedWriter, DestructionHandsOverWhatWasGathered) {
  const Bytes data = Pattern(1000, 2);
  {
    TFileStream writer(PathOf("target"), TFileStream::fmCreate);
    writer.WriteRun(data.data(), 600);
    writer.WriteRun(data.data() + 600, 400);
    EXPECT_TRUE(Load("target").empty()) << "short runs are expected to wait in the buffer";
  }
  EXPECT_EQ(Load("target"), data);
}

TEST_F(BufferedWriter, ExistingTargetIsEmptiedEvenIfNothingIsWritten) {
  Save("target", Pattern(5000, 6));
  { TFileStream writer(PathOf("target"), TFileStream::fmCreate); }
  EXPECT_TRUE(Load("target").empty());
}

TEST_F(BufferedWriter, FailedWriteFailsOnceAndDropsWhatItCarried) {
  const Bytes data = Pattern(kDirect, 3);
  TFileStream writer(PathOf("target"), TFileStream::fmCreate);
  WritesFail writes_fail;
  writer.WriteRun(data.data(), 10);  // gathered: the OS has not seen it yet
  EXPECT_THROW(writer.Flush(), EWriteError);
  EXPECT_NO_THROW(writer.Flush()) << "the failed bytes must not be offered again";
  EXPECT_THROW(writer.WriteRun(data.data(), kDirect), EWriteError) << "a long run goes out at once";
  for (std::int32_t gathered = 0; gathered + kDirect - 1 <= kBuffer; gathered += kDirect - 1) {
    writer.WriteRun(data.data(), kDirect - 1);
  }
  EXPECT_THROW(writer.WriteRun(data.data(), kDirect - 1), EWriteError) << "a full buffer goes out at once";
}

// A patch of `runs` one-byte literals, then `tail` (a faulty instruction, or
// nothing) and the stop instruction unless `stop` is false.
Bytes LiteralsThen(std::size_t runs, const Bytes& tail, bool stop = true) {
  Bytes stream;
  for (std::size_t i = 0; i < runs; ++i)
    stream.insert(stream.end(), {1, static_cast<std::uint8_t>('a' + i % 26)});
  stream.insert(stream.end(), tail.begin(), tail.end());
  testing::PatchFields fields;
  fields.stop = stop;
  return testing::BuildPatch(fields, {stream});
}

Bytes LettersOf(std::size_t runs) {
  Bytes letters;
  for (std::size_t i = 0; i < runs; ++i) letters.push_back(static_cast<std::uint8_t>('a' + i % 26));
  return letters;
}

struct FaultCase {
  const char* what;
  Bytes tail;
  bool stop;
  std::string message;  // without the position, added for the copy
};

std::vector<FaultCase> FaultCases() {
  return {
      {"inner stop", {0x00, 0x01, 'x'}, true, "Unexpected stop instruction before end of patch file"},
      {"opcode 0xFF", {0xFF}, true, "64-bit length of file is not supported in this version"},
      {"copy past the source", testing::Copy(0xF9, 0xFFFF, 2), true,
       "Seek beyond source file end. Instruction at "},
      {"literal past the end", {0x05, 'x'}, true, "Unexpected end of patch file"},
      {"huge literal-32", testing::LongLiteral(0xF8, 0x80000000u, {}), false, "Unexpected end of patch file"},
      {"last byte not stop", {0x01, 'x', 0x01}, false, "Unexpected end of patch file"},
  };
}

TEST_F(BufferedWriter, FaultAheadLeavesExactlyTheRunsBeforeIt) {
  const Bytes source = testing::ToBytes("0123");
  for (std::size_t runs : {0, 1, 31, 32, 33, 100, 5000}) {
    for (const FaultCase& fault : FaultCases()) {
      const Bytes patch = LiteralsThen(runs, fault.tail, fault.stop);
      const std::uint64_t fault_at = 17 + 2 * runs;
      Bytes expected = LettersOf(runs);
      std::string message = fault.message;
      if (message.starts_with("Seek")) message += std::to_string(fault_at);
      if (std::string(fault.what) == "last byte not stop") expected.push_back('x');
      const std::string name = "target";
      TFileStream writer(PathOf(name), TFileStream::fmCreate);
      try {
        RunInstructionStream(patch, source, {12, 0, 0}, writer);
        ADD_FAILURE() << fault.what << " after " << runs << " runs was accepted";
      } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), message) << fault.what << " after " << runs << " runs";
      }
      // Still inside the writer's life: the runs went out before the error did.
      EXPECT_EQ(Load(name), expected) << fault.what << " after " << runs << " runs";
    }
  }
}

// Carries out one instruction at a time, as the stream did before it was
// decoded ahead: the reference for the outcome of RunInstructionStream.
std::string OneAtATime(const Bytes& patch, const Bytes& source, TStream& target) {
  try {
    std::uint64_t position = 17;
    while (position < patch.size() - 1) {
      DecodedRun run = DecodeInstruction(patch, source, position);
      target.WriteRun(run.bytes, static_cast<std::int32_t>(run.length));
      position = run.next;
    }
    target.Flush();
    if (position != patch.size() - 1) return "Internal error checking the stop instruction";
    if (patch.back() != 0) return "Unexpected end of patch file";
    return "";
  } catch (const Exception& error) {
    return error.Message();
  }
}

TEST_F(BufferedWriter, DecodingAheadChangesNoOutcome) {
  std::mt19937 random(8);
  const Bytes source = Pattern(5000, 9);
  for (int trial = 0; trial < 3000; ++trial) {
    Bytes stream;
    const int instructions = static_cast<int>(random() % 80);
    for (int i = 0; i < instructions; ++i) {
      Bytes instruction = random() % 2 ? testing::ShortLiteral(Pattern(1 + random() % 20, random()))
                                       : testing::Copy(0xFA, random() % 4990, random() % 10);
      stream.insert(stream.end(), instruction.begin(), instruction.end());
    }
    // A few random bytes anywhere make any fault, or none, at any distance.
    for (int flips = static_cast<int>(random() % 3); flips > 0 && !stream.empty(); --flips) {
      stream[random() % stream.size()] = static_cast<std::uint8_t>(random());
    }
    testing::PatchFields fields;
    fields.stop = random() % 8 != 0;
    const Bytes patch = testing::BuildPatch(fields, {stream});

    testing::MemoryStream expected;
    const std::string expected_error = OneAtATime(patch, source, expected);
    testing::MemoryStream actual;
    std::string actual_error;
    try {
      RunInstructionStream(patch, source, {12, 0, 0}, actual);
    } catch (const Exception& error) {
      actual_error = error.Message();
    }
    ASSERT_EQ(actual_error, expected_error) << "trial " << trial;
    ASSERT_EQ(actual.run_lengths, expected.run_lengths) << "trial " << trial;
    ASSERT_EQ(actual.contents, expected.contents) << "trial " << trial;
  }
}

// A target in memory whose RawWrite fails from the `fail_at`-th run on.
class FailingStream : public testing::MemoryStream {
 public:
  explicit FailingStream(std::size_t fail_at) : fail_at_(fail_at) {}

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override {
    if (run_lengths.size() + 1 >= fail_at_) return 0;
    return MemoryStream::RawWrite(data, count);
  }

 private:
  std::size_t fail_at_;
};

TEST_F(BufferedWriter, EarlierFailedWriteWinsOverFaultAhead) {
  const Bytes source = testing::ToBytes("0123");
  for (std::size_t runs : {1, 2, 31, 32, 40}) {
    for (const FaultCase& fault : FaultCases()) {
      const Bytes patch = LiteralsThen(runs, fault.tail, fault.stop);
      for (std::size_t fail_at : {std::size_t{1}, runs}) {
        FailingStream target(fail_at);
        EXPECT_THROW(RunInstructionStream(patch, source, {12, 0, 0}, target), EWriteError)
            << fault.what << ": run " << fail_at << " of " << runs << " failed";
        EXPECT_EQ(target.contents, LettersOf(fail_at - 1)) << "runs after the failed one went out";
      }
    }
  }
}

TEST_F(BufferedWriter, GatheredRunThatCannotBeWrittenWinsOverFaultAhead) {
  const Bytes source = testing::ToBytes("0123");
  WritesFail writes_fail;
  for (const FaultCase& fault : FaultCases()) {
    TFileStream writer(PathOf("target"), TFileStream::fmCreate);
    EXPECT_THROW(RunInstructionStream(LiteralsThen(3, fault.tail, fault.stop), source, {12, 0, 0}, writer),
                 EWriteError)
        << fault.what;
  }
}

TEST_F(BufferedWriter, OneWriteRunPerInstructionAndNoneForEmptyRuns) {
  const Bytes source = Pattern(300000, 4);
  const Bytes long_literal = Pattern(70000, 5);
  testing::PatchFields fields;
  const Bytes patch = testing::BuildPatch(
      fields, {testing::ShortLiteral(testing::ToBytes("ab")), testing::Copy(0xFA, 0, 0),
               testing::Copy(0xFE, 1000, 200000), testing::LongLiteral(0xF7, 0, {}),
               testing::LongLiteral(0xF8, long_literal.size(), long_literal), testing::Copy(0xF9, 5, 3)});
  testing::MemoryStream target;
  RunInstructionStream(patch, source, {12, 0, 0}, target);
  EXPECT_EQ(target.run_lengths, (std::vector<std::int32_t>{2, 200000, 70000, 3}));
  Bytes expected = testing::ToBytes("ab");
  expected.insert(expected.end(), source.begin() + 1000, source.begin() + 201000);
  expected.insert(expected.end(), long_literal.begin(), long_literal.end());
  expected.insert(expected.end(), source.begin() + 5, source.begin() + 8);
  EXPECT_EQ(target.contents, expected);
}

// The front end as ApplyPatch sees it: fixed arguments, markers recorded.
class RecordingFrontEnd : public FrontEnd {
 public:
  RecordingFrontEnd(std::string source, std::string target, std::string patch)
      : arguments_{std::move(source), std::move(target), std::move(patch)} {}
  std::string Argument(int position) const override {
    return arguments_[static_cast<std::size_t>(position - 1)];
  }
  void WriteText(std::string_view text) override { output.append(text); }
  void WriteLine(std::string_view text) override { output.append(text).append("\r\n"); }

  std::string output;

 private:
  std::string arguments_[3];
};

TEST_F(BufferedWriter, HeldBackWriteFailsDuringStepThree) {
  const Bytes source = testing::ToBytes("0123456789");
  const Bytes target = testing::ToBytes("xy2345");
  const std::string source_name = Save("source", source);
  const std::string patch_name =
      Save("patch",
           testing::BuildPatchFor(
               source, target, {testing::ShortLiteral(testing::ToBytes("xy")), testing::Copy(0xF9, 2, 4)}));
  RecordingFrontEnd front_end(source_name, PathOf("target"), patch_name);
  WritesFail writes_fail;
  EXPECT_THROW(ApplyPatch(front_end), EWriteError);
  EXPECT_EQ(front_end.output, "Step 1 Step 2 Step 3 ");
}

TEST_F(BufferedWriter, ApplyPatchLeavesTheRunsBeforeAFault) {
  const Bytes source = testing::ToBytes("0123456789");
  const std::string source_name = Save("source", source);
  Bytes stream;
  for (int i = 0; i < 50; ++i) {
    Bytes copy = testing::Copy(0xF9, static_cast<std::uint64_t>(i % 8), 2);
    stream.insert(stream.end(), copy.begin(), copy.end());
  }
  Bytes expected;
  for (int i = 0; i < 50; ++i)
    expected.insert(expected.end(), source.begin() + i % 8, source.begin() + i % 8 + 2);
  for (const FaultCase& fault : FaultCases()) {
    Bytes faulty = stream;
    faulty.insert(faulty.end(), fault.tail.begin(), fault.tail.end());
    testing::PatchFields fields;
    fields.source_crc = Crc32(source);
    fields.stop = fault.stop;
    const std::string patch_name = Save("patch", testing::BuildPatch(fields, {faulty}));
    RecordingFrontEnd front_end(source_name, PathOf("target"), patch_name);
    EXPECT_THROW(ApplyPatch(front_end), Exception) << fault.what;
    EXPECT_EQ(front_end.output, "Step 1 Step 2 Step 3 ") << fault.what;
    Bytes expected_here = expected;
    if (std::string(fault.what) == "last byte not stop") expected_here.push_back('x');
    EXPECT_EQ(Load("target"), expected_here) << fault.what;
  }
}

}  // namespace
}  // namespace varnock
