#include "apply/RangedStream.h"

#include <algorithm>

#include "apply/Lookahead.h"
#include "format/Instruction.h"

namespace varnock {
namespace {

using decode::Fault;
using decode::Operation;

// An instruction decoded ahead of its write: its run, or the fault that stops
// the stream there, with where it stands in the patch; and, when the window
// or one held block had the whole run at the time, where the run lies, to be
// handed over as over spans.
struct Pending {
  const std::uint8_t* bytes;
  std::uint64_t from;
  std::uint64_t position;
  std::uint32_t length;
  Fault fault;
  bool copies;
};

// Where the whole run of `operation` lies now, or null; asks the memory for
// the head of a copy's run as far as it is held.
const std::uint8_t* Lend(const PatchWindow& patch, SourceCache& source, const Operation& operation) {
  if (!operation.copies)
    return patch.Holds(operation.from, operation.length) ? patch.At(operation.from) : nullptr;
  if (operation.length == 0) return nullptr;
  const ByteSpan held = source.Lend(operation.from);
  VARNOCK_PREFETCH_HEAD(held.data(), std::min<std::uint64_t>(held.size(), operation.length));
  return held.size() >= operation.length ? held.data() : nullptr;
}

// Makes the window hold the instruction head at `position`; false when that
// would drop bytes that runs still waiting for their writes need.
bool HoldHead(PatchWindow& patch, std::uint64_t position, bool runs_waiting) {
  if (patch.HoldsHead(position)) return true;
  if (runs_waiting) return false;
  patch.Refill(position);
  return true;
}

// Hands one run to the target, a piece at a time as the window or the cache
// holds it.
void WriteRun(PatchWindow& patch, SourceCache& source, const Pending& run, TStream& target) {
  std::uint64_t from = run.from;
  std::uint64_t left = run.length;
  while (left > 0) {
    const ByteSpan piece = run.copies ? source.View(from, left) : patch.View(from, left);
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), left));
    target.WriteRun(piece.data(), static_cast<std::int32_t>(count));
    from += count;
    left -= count;
  }
}

}  // namespace

void RunRangedStream(PatchWindow& patch, SourceCache& source, const PatchHeader& header, TStream& target,
                     const StreamProgress* progress) {
  const std::uint64_t last = patch.Size() - 1;
  std::uint64_t position = std::uint64_t{header.header_size} + kSignatureSize;
  // As over spans, decoding runs ahead of the writes, stops at the first fault
  // and raises it only when the writes reach it. It also waits, at the end of
  // the window, for the writes to catch up: a literal run waiting for its
  // write lies in the window, which is read anew only once none waits, or to
  // hand over the rest of the last one.
  //
  // This is not the loop over spans (InstructionStream.cpp) made generic: a
  // run decoded here is only lent, by the window or the cache, until the next
  // read replaces what it points at, so this loop holds decoding back and
  // tracks what it lent. The loop over spans, where every run stays where it
  // lies, is every apply's hot path and carries none of that.
  std::uint64_t decode_end = last;
  decode::Ahead<Pending> ahead;
  decode::AheadSlots slots;
  // The runs decoded before this one were lent before the last block read,
  // which may have taken the place of the one lent to them.
  std::size_t lent_since = 0;
  std::uint64_t loads = source.Loads();
  decode::ProgressTicks ticks;
  for (;;) {
    while (position < decode_end && !slots.Full() && HoldHead(patch, position, !slots.Empty())) {
      const Operation operation =
          decode::DecodeOperation(patch.At(position), position, patch.Size(), source.Size());
      Pending& pending = ahead[slots.Add()];
      if (operation.fault != Fault::kNone) {
        pending = {nullptr, 0, position, 0, operation.fault, false};
        decode_end = 0;
        break;
      }
      pending = {Lend(patch, source, operation),
                 operation.from,
                 position,
                 operation.length,
                 Fault::kNone,
                 operation.copies};
      position = operation.next;
    }
    if (slots.Empty()) break;
    const bool lent_still = slots.Taken() >= lent_since;
    const Pending& run = ahead[slots.Take()];
    if (run.fault != Fault::kNone) {
      target.Flush();
      decode::Raise(run.fault, run.position);
    }
    if (progress != nullptr) ticks.BeforeRun(run.length, *progress);
    // A literal lent stays in the window: it is read anew only where no
    // run waits, or for the rest of a literal it does not hold, the last run
    // decoded.
    if (run.bytes != nullptr && lent_still) {
      target.WriteRun(run.bytes, static_cast<std::int32_t>(run.length));
    } else {
      WriteRun(patch, source, run, target);
      if (source.Loads() != loads) {
        loads = source.Loads();
        lent_since = slots.Added();
      }
    }
  }
  // A write held back fails here, still in this step, before the stop test.
  target.Flush();
  decode::CheckStreamEnd(position, last, patch.View(last, 1)[0]);
}

std::uint64_t CountRangedTarget(PatchWindow& patch, std::uint64_t source_size, const PatchHeader& header) {
  std::uint64_t total = 0;
  decode::ForEachOperation(
      std::uint64_t{header.header_size} + kSignatureSize, patch.Size(), source_size,
      [&](std::uint64_t position) { return patch.Head(position); },
      [&](std::uint64_t, std::uint8_t, const Operation& operation) { total += operation.length; });
  return total;
}

}  // namespace varnock
