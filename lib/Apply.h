// Applying a patch, as the library offers it and the varnock program runs it:
// from files, or from memory into a target the caller keeps. Raises the first
// error met, as an exception of the Exception family; prints nothing.
#pragma once

#include <cstdint>
#include <string>

#include "lib/MemoryTargets.h"
#include "lib/Progress.h"
#include "patch/PatchFormat.h"

namespace varnock {

struct ApplyFileNames {
  std::string source;
  std::string target;
  std::string patch;
};

enum class InputAccess {
  kRead,           // read into memory with plain reads
  kMapped,         // mapped; a shortened input faults in the caller
  kMappedWatched,  // mapped and known to the process's input fault handler (the program's way)
};

// Opens the inputs and creates the target; checks the patch against the
// source (Stage::kChecksum begins); writes the target (kWriting); reads it back
// and checks it (kVerifying). The target then holds what was written so far.
void ApplyPatchFiles(const ApplyFileNames& names, InputAccess access, Progress& progress);

// The name a patch in memory goes by in "<name> is not a patch".
inline constexpr const char* kMemoryPatchName = "<memory>";

// The same steps on memory, checking the target as it was written.
void ApplyPatchMemory(ByteSpan source, ByteSpan patch, MemoryTarget& target, Progress& progress);

// The length of the target, by every check but the target's own CRC-32.
std::uint64_t MeasureTarget(ByteSpan source, ByteSpan patch);

}  // namespace varnock
