// The instruction stream run from inputs read by ranges: the patch through a
// window, the source through a block cache. The outcome, target and error
// alike, is that of RunInstructionStream on the same bytes as spans, except
// that a run may reach the target in several pieces and that a failed read
// of an input can stop the stream inside a run.
#pragma once

#include <cstdint>

#include "apply/InstructionStream.h"
#include "apply/PatchWindow.h"
#include "apply/SourceCache.h"

namespace varnock {

// Runs the stream after a validated header into `target`; tells `progress`,
// when not null, as RunInstructionStream does.
void RunRangedStream(PatchWindow& patch, SourceCache& source, const PatchHeader& header, TStream& target,
                     const StreamProgress* progress);

// The length of the target up to the first faulty instruction, from the
// patch alone: no byte of the source is read.
std::uint64_t CountRangedTarget(PatchWindow& patch, std::uint64_t source_size, const PatchHeader& header);

}  // namespace varnock
