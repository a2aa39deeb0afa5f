#include "apply/InstructionStream.h"

#include "apply/Lookahead.h"
#include "common/Errors.h"
#include "format/Instruction.h"

namespace varnock {

namespace {

using decode::Fault;

// An instruction decoded from spans: its run, or the fault that stops the stream.
struct Instruction {
  const std::uint8_t* bytes;
  std::uint32_t length;
  Fault fault;
  std::uint64_t next;
};

// `p` lies before the patch's last byte.
inline Instruction Decode(ByteSpan patch, ByteSpan source, std::uint64_t p) {
  const decode::Operation operation =
      decode::DecodeOperation(patch.data() + p, p, patch.size(), source.size());
  if (operation.fault != Fault::kNone) return {nullptr, 0, operation.fault, 0};
  if (!operation.copies)
    return {patch.data() + operation.from, operation.length, Fault::kNone, operation.next};
  const std::uint8_t* bytes = source.data() + operation.from;
  // The source range may lie anywhere in the source: ask for its head now.
  VARNOCK_PREFETCH_HEAD(bytes, std::uint64_t{operation.length});
  return {bytes, operation.length, Fault::kNone, operation.next};
}

// An instruction decoded ahead of its write, with where it stands in the patch.
struct Pending {
  const std::uint8_t* bytes;
  std::uint32_t length;
  Fault fault;
  std::uint64_t position;
};

}  // namespace

DecodedRun DecodeInstruction(ByteSpan patch, ByteSpan source, std::uint64_t position) {
  Instruction instruction = Decode(patch, source, position);
  if (instruction.fault != Fault::kNone) decode::Raise(instruction.fault, position);
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
  // of carrying out one instruction at a time. The stream over ranges
  // (RangedStream.cpp) has a loop of its own, which says why.
  std::uint64_t decode_end = last;
  decode::Ahead<Pending> ahead;
  decode::AheadSlots slots;
  [[maybe_unused]] decode::ProgressTicks ticks;
  for (;;) {
    while (position < decode_end && !slots.Full()) {
      Instruction instruction = Decode(patch, source, position);
      ahead[slots.Add()] = {instruction.bytes, instruction.length, instruction.fault, position};
      if (instruction.fault != Fault::kNone) {
        decode_end = 0;
        break;
      }
      position = instruction.next;
    }
    if (slots.Empty()) break;
    const Pending& run = ahead[slots.Take()];
    if (run.fault != Fault::kNone) {
      target.Flush();
      decode::Raise(run.fault, run.position);
    }
    if constexpr (kReportsProgress) ticks.BeforeRun(run.length, *progress);
    target.WriteRun(run.bytes, static_cast<std::int32_t>(run.length));
  }
  // A write held back fails here, still in this step, before the stop test.
  target.Flush();
  decode::CheckStreamEnd(position, last, patch[last]);
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
