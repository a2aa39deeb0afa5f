// The suffix index of the part of the source the covers leave: what the
// target's bytes outside the covers are searched in.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "make/ViewPages.h"
#include "make/index/Matcher.h"
#include "make/index/SourceIndex.h"

namespace varnock::maker {

// The suffix index of the source less the covers' source stretches (but
// the ends of long ones), never less its first kNearSourceEnd bytes (where
// copies take short offsets);
// where that would leave more than 13/16 of the source, the index of the
// whole source, which then takes less. Matches it gives lie in the source
// and are as long as the bytes agree there; it finds those that start in
// what it kept, and reads the source only where one runs on past a kept
// piece (SourceMatch::read). The kept bytes are copied in one pass over the
// source, whose pages go back behind it (`pages`).
std::unique_ptr<SourceIndex> MakeResidualIndex(ByteSpan source, std::span<const CopyCandidate> covers,
                                               unsigned threads, const StageProgress& progress,
                                               const ViewPages& pages = ViewPages());

}  // namespace varnock::maker
