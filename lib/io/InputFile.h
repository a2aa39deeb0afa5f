// Where the library's input files go on the process's list, and the target's
// read-back, as the caller chose to read inputs.
#pragma once

#include <string>

#include "common/Progress.h"
#include "platform/platform.h"

namespace varnock {

// How a call reads its input files.
enum class InputAccess {
  kRead,           // read by ranges with plain reads, the source through a bounded cache
  kMapped,         // mapped; a shortened input faults in the caller
  kMappedWatched,  // mapped and known to the process's input fault handler (the program's way)
};

// Whether files opened for `access` go on the process's list of inputs.
platform::Listing ListingFor(InputAccess access);

// The CRC-32 of a whole file, opened for `access`, with Stage::kVerifying's progress.
std::uint32_t ChecksumOfFile(const std::string& name, InputAccess access, Progress& progress);

}  // namespace varnock
