// The patch's instruction stream, decoded from plain byte spans. Every bound
// test is an exact 64-bit sum, so no patch can make a read leave the patch or
// the source.
#pragma once

#include <cstdint>
#include <functional>

#include "format/Instruction.h"
#include "format/PatchFormat.h"
#include "io/FileStream.h"

namespace varnock {

// One instruction's run and the position of the instruction after it.
struct DecodedRun {
  const std::uint8_t* bytes;
  std::uint32_t length;
  std::uint64_t next;
};

// Decodes the instruction at `position`, which lies before the patch's last
// byte, with every test on its operands; raises the error it earns.
DecodedRun DecodeInstruction(ByteSpan patch, ByteSpan source, std::uint64_t position);

// Runs the stream after a validated header into `target`, one WriteRun per
// instruction, and checks that the stop instruction is the patch's last byte.
// On failure the target holds the runs of every instruction before the bad one.
void RunInstructionStream(ByteSpan patch, ByteSpan source, const PatchHeader& header, TStream& target);

// Told the count of target bytes handed to the writer so far, before the next
// run, once at least kProgressStep more have gone out since it was last told.
// It may raise, to stop the stream: the target then holds the runs before.
using StreamProgress = std::function<void(std::uint64_t target_bytes_so_far)>;
inline constexpr std::uint64_t kProgressStep = 1 << 20;

// The same, telling `progress` how far the target has come.
void RunInstructionStream(ByteSpan patch, ByteSpan source, const PatchHeader& header, TStream& target,
                          const StreamProgress& progress);

}  // namespace varnock
