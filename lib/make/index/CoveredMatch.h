// The maker's default way through a pair: long shared stretches found by
// blocks and written as they are, the rest of the target searched in what the
// source has left and parsed, stretch by stretch.
#pragma once

#include <cstdint>
#include <functional>

#include "make/ViewPages.h"
#include "make/encode/PatchEncoder.h"
#include "make/index/Matcher.h"

namespace varnock::maker {

struct CoveredReport {
  std::uint64_t index_memory = 0;
  std::uint64_t covered = 0;  // target bytes in covers
  bool searched = false;      // an index was built for the rest
};

// Target [from, to) is not read again for a while, and, when `written` is
// true, its instructions are written: its pages may be handed back.
using TargetRead = std::function<void(std::uint64_t from, std::uint64_t to, bool written)>;

// Writes the instructions that rebuild `target` through `encoder`, matching
// on `threads` threads; the bytes do not depend on how many. The stretches
// between covers are parsed for a container where `for_container` is set
// (SegmentParse, which takes `raw_settings`). Holds at most
// CoveredMemory(source, target) bytes besides what the parse takes.
// The inputs' pages go back behind the reading as `pages` allows.
CoveredReport MatchCovered(ByteSpan source, ByteSpan target, const MatchSettings& settings, unsigned threads,
                           bool for_container, const MatchSettings& raw_settings, PatchEncoder& encoder,
                           const StageProgress& indexing, const TargetRead& read, const ViewPages& pages);

// A bound of what MatchCovered holds: the larger of the block table and the
// index it builds (at most the source's suffix index), with the covers and
// the stretches between them (at most a byte a target byte: a cover is at
// least kCoverBlock long).
std::uint64_t CoveredMemory(std::uint64_t source_size, std::uint64_t target_size);

}  // namespace varnock::maker
