// The suffix index of the part of the source the covers leave: what the
// target's bytes outside the covers are searched in.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "make/index/Matcher.h"
#include "make/index/SourceIndex.h"

namespace varnock::maker {

// The suffix index of the source less the covers' source stretches (but
// the ends of long ones), never less its first kNearSourceEnd bytes (where
// copies take short offsets);
// where that would leave more than 13/16 of the source, the index of the
// whole source, which then takes less. Matches it gives lie in the source
// and are as long as the bytes agree there; it finds those that start in
// what it kept.
std::unique_ptr<SourceIndex> MakeResidualIndex(ByteSpan source, std::span<const CopyCandidate> covers,
                                               unsigned threads, const StageProgress& progress);

}  // namespace varnock::maker
