// A cheap look, before any index is built, at whether the target's stretches
// share strings with the source at all.
#pragma once

#include <cstdint>
#include <span>

#include "format/PatchFormat.h"
#include "make/ViewPages.h"

namespace varnock::maker {

struct Stretch {
  std::uint64_t from;
  std::uint64_t to;
};

// False when a sample of the 8-byte strings of the target's `stretches`
// suggests that fewer than about one target byte in 512 begins a string the
// source holds: an index of the source would find next to nothing there.
// True for a source below 1 MiB.
// Reads every source position and every position of the stretches once,
// the pages of both handed back behind the reading (`pages`), and keeps a
// sorted table of about 8 bytes per 64 source bytes.
bool SharesStrings(ByteSpan source, ByteSpan target, std::span<const Stretch> stretches,
                   const ViewPages& pages = ViewPages());

}  // namespace varnock::maker
