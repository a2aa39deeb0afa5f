#include <array>

#include "files/Errors.h"
#include "patch/PatchFormat.h"

namespace varnock {
namespace {

// What an instruction earns instead of its run, in the order of the tests.
enum class Fault : std::uint8_t { kNone, kStop, kUnsupported64, kUnexpectedEnd, kBeyondSource, kRange };

// An instruction as decoded: its run, or the fault that stops the stream.
struct Instruction {
  const std::uint8_t* bytes;
  std::uint32_t length;
  Fault fault;
  std::uint64_t next;
};

constexpr Instruction Refused(Fault fault) { return {nullptr, 0, fault, 0}; }

template <unsigned Width>
std::uint32_t ReadBigEndian(const std::uint8_t* bytes) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < Width; ++i) value = value << 8 | bytes[i];
  return value;
}

// Every test below compares exact 64-bit sums with the patch size F; each one
// counts one byte more than the instruction's own, for the stop instruction
// that must still follow it.
template <unsigned LengthWidth>
Instruction DecodeLongLiteral(ByteSpan patch, std::uint64_t p) {
  const std::uint64_t data_start = p + 1 + LengthWidth;
  if (data_start + 1 > patch.size()) return Refused(Fault::kUnexpectedEnd);
  const std::uint64_t length = ReadBigEndian<LengthWidth>(patch.data() + p + 1);
  if (data_start + length + 1 > patch.size()) return Refused(Fault::kUnexpectedEnd);
  if (length > kLongestRun) return Refused(Fault::kRange);
  return {patch.data() + data_start, static_cast<std::uint32_t>(length), Fault::kNone, data_start + length};
}

constexpr std::uint64_t kPrefetchedHead = 128;

template <unsigned OffsetWidth, unsigned LengthWidth>
Instruction DecodeCopy(ByteSpan patch, ByteSpan source, std::uint64_t p) {
  const std::uint64_t next = p + 1 + OffsetWidth + LengthWidth;
  if (next + 1 > patch.size()) return Refused(Fault::kUnexpectedEnd);
  const std::uint64_t offset = ReadBigEndian<OffsetWidth>(patch.data() + p + 1);
  const std::uint64_t length = ReadBigEndian<LengthWidth>(patch.data() + p + 1 + OffsetWidth);
  if (offset + length > source.size()) return Refused(Fault::kBeyondSource);
  if (length > kLongestRun) return Refused(Fault::kRange);
  const std::uint8_t* bytes = source.data() + offset;
  // The source range may lie anywhere in the source, and its write comes
  // kLookahead instructions later: ask the cache for the first and the last
  // line of its head now; the hardware follows a long run by itself. (Written
  // out here: GCC drops a void function that only prefetches, as pure.)
#if defined(__GNUC__)
  if (length > 0) {
    __builtin_prefetch(bytes);
    __builtin_prefetch(bytes + (length < kPrefetchedHead ? length : kPrefetchedHead) - 1);
  }
#endif
  return {bytes, static_cast<std::uint32_t>(length), Fault::kNone, next};
}

// `p` lies before the patch's last byte.
inline Instruction Decode(ByteSpan patch, ByteSpan source, std::uint64_t p) {
  const std::uint8_t code = patch[p];
  if (code - 1u < opcode::kLongestShortLiteral) {
    if (p + code + 2 > patch.size()) return Refused(Fault::kUnexpectedEnd);
    return {patch.data() + p + 1, code, Fault::kNone, p + 1 + code};
  }
  switch (code) {
    case opcode::kStop:
      return Refused(Fault::kStop);
    case opcode::kLiteral16:
      return DecodeLongLiteral<2>(patch, p);
    case opcode::kLiteral32:
      return DecodeLongLiteral<4>(patch, p);
    case opcode::kCopy16_8:
      return DecodeCopy<2, 1>(patch, source, p);
    case opcode::kCopy16_16:
      return DecodeCopy<2, 2>(patch, source, p);
    case opcode::kCopy16_32:
      return DecodeCopy<2, 4>(patch, source, p);
    case opcode::kCopy32_8:
      return DecodeCopy<4, 1>(patch, source, p);
    case opcode::kCopy32_16:
      return DecodeCopy<4, 2>(patch, source, p);
    case opcode::kCopy32_32:
      return DecodeCopy<4, 4>(patch, source, p);
    default:
      return Refused(Fault::kUnsupported64);
  }
}

[[noreturn]] void Raise(Fault fault, std::uint64_t position) {
  switch (fault) {
    case Fault::kStop:
      throw Exception(ErrorKind::kUnexpectedStop, "Unexpected stop instruction before end of patch file");
    case Fault::kUnsupported64:
      throw Exception(ErrorKind::kUnsupported64, "64-bit length of file is not supported in this version");
    case Fault::kBeyondSource:
      RaiseBeyondSource(position);
    case Fault::kRange:
      throw ERangeError();
    case Fault::kUnexpectedEnd:
    case Fault::kNone:
      break;
  }
  RaiseUnexpectedEnd();
}

// Far enough ahead for a random source read to arrive from memory while the
// runs before it are written; measured in bench/README.md.
constexpr std::size_t kLookahead = 32;

// An instruction decoded ahead of its write, with where it stands in the patch.
struct Pending {
  const std::uint8_t* bytes;
  std::uint32_t length;
  Fault fault;
  std::uint64_t position;
};

}  // namespace

void RaiseUnexpectedEnd() { throw Exception(ErrorKind::kUnexpectedEnd, "Unexpected end of patch file"); }

void RaiseStopCheck() {
  throw Exception(ErrorKind::kStopCheck, "Internal error checking the stop instruction");
}

void RaiseBeyondSource(std::uint64_t position) {
  throw Exception(ErrorKind::kBeyondSource, "Seek beyond source file end. Instruction at " + std::to_string(position));
}

DecodedRun DecodeInstruction(ByteSpan patch, ByteSpan source, std::uint64_t position) {
  Instruction instruction = Decode(patch, source, position);
  if (instruction.fault != Fault::kNone) Raise(instruction.fault, position);
  return {instruction.bytes, instruction.length, instruction.next};
}

namespace {

// The stream's loop, with or without telling `progress` how far the target has come.
template <bool kReportsProgress>
void RunStream(ByteSpan patch, ByteSpan source, const PatchHeader& header, TStream& target,
               const StreamProgress* progress) {
  const std::uint64_t last = patch.size() - 1;
  std::uint64_t position = std::uint64_t{header.header_size} + kSignatureSize;
  // Decoding runs up to kLookahead instructions ahead of the writes and stops
  // at the first fault, which is raised only when the writes reach it, after
  // every run before it went out: the outcome, error and file alike, is that
  // of carrying out one instruction at a time.
  std::uint64_t decode_end = last;
  std::array<Pending, kLookahead> ahead;
  std::size_t decoded = 0;
  std::size_t written = 0;
  [[maybe_unused]] std::uint64_t produced = 0;
  [[maybe_unused]] std::uint64_t next_report = kProgressStep;
  for (;;) {
    while (position < decode_end && decoded - written < kLookahead) {
      Instruction instruction = Decode(patch, source, position);
      ahead[decoded++ % kLookahead] = {instruction.bytes, instruction.length, instruction.fault, position};
      if (instruction.fault != Fault::kNone) {
        decode_end = 0;
        break;
      }
      position = instruction.next;
    }
    if (written == decoded) break;
    const Pending& run = ahead[written++ % kLookahead];
    if (run.fault != Fault::kNone) {
      target.Flush();
      Raise(run.fault, run.position);
    }
    if constexpr (kReportsProgress) {
      // Told before the run, so that a stop leaves exactly the runs before it.
      if (produced >= next_report) {
        (*progress)(produced);
        next_report = produced + kProgressStep;
      }
      produced += run.length;
    }
    target.WriteRun(run.bytes, static_cast<std::int32_t>(run.length));
  }
  // A write held back fails here, still in this step, before the stop test.
  target.Flush();
  if (position != last) RaiseStopCheck();
  if (patch[last] != opcode::kStop) RaiseUnexpectedEnd();
}

}  // namespace

void RunInstructionStream(ByteSpan patch, ByteSpan source, const PatchHeader& header, TStream& target) {
  RunStream<false>(patch, source, header, target, nullptr);
}

void RunInstructionStream(ByteSpan patch, ByteSpan source, const PatchHeader& header, TStream& target,
                          const StreamProgress& progress) {
  RunStream<true>(patch, source, header, target, &progress);
}

}  // namespace varnock
