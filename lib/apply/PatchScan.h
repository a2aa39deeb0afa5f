// What a patch's instruction stream holds, read without its source: for a
// patch's description, and for the checks that can be made before a source
// is at hand.
#pragma once

#include <cstdint>

#include "apply/PatchWindow.h"
#include "format/PatchFormat.h"

namespace varnock {

struct StreamCounts {
  std::uint64_t target_size = 0;
  std::uint64_t copies = 0;
  std::uint64_t literals = 0;
  std::uint64_t bytes_copied = 0;
  std::uint64_t bytes_carried = 0;
  // The end of the copy that reaches furthest: the least length of a source
  // the patch can be applied to.
  std::uint64_t source_reach = 0;
};

// Reads the stream after a header that holds, front to back, with every test
// applying makes but those on the source, and raises the error applying would
// raise first (a copy is never beyond a source it has not seen).
StreamCounts ScanStream(PatchWindow& patch, const PatchHeader& header);

}  // namespace varnock
