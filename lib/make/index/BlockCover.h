// Finds the long stretches the target shares with the source by matching
// blocks of the source, before and instead of any search byte by byte.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "make/ViewPages.h"
#include "make/index/Matcher.h"

namespace varnock::maker {

// Blocks of this many bytes are matched.
inline constexpr std::uint64_t kCoverBlock = 64;

// Source blocks start at multiples of this, a power of two from kCoverBlock
// on, the least that keeps the table of a large source small: every match of
// CoverStride + kCoverBlock - 1 bytes and more holds a whole block, and is
// found. kCoverBlock below 24 MiB of source; 512 at 128 MiB.
std::uint64_t CoverStride(std::uint64_t source_size);

// Bytes the block table takes for a source of this size, with blocks at
// this stride.
std::uint64_t CoverTableMemory(std::uint64_t source_size, std::uint64_t stride);

// The target's stretches that equal a stretch of the source, found where a
// whole source block lies in them and extended both ways as far as the bytes
// agree: in target order, none overlapping another, each at least
// kCoverBlock long. They depend on the inputs (and `stride`) alone. The
// inputs are read front to back, the source once for its blocks, and their
// pages handed back behind the reading (`pages`). The source's blocks lie
// `stride` apart, CoverStride by default. Once more than `most_left` target
// bytes are left out of covers, gives up and returns none.
std::vector<CopyCandidate> FindCovers(ByteSpan source, ByteSpan target, const ViewPages& pages = ViewPages(),
                                      std::uint64_t stride = 0,
                                      std::uint64_t most_left = std::numeric_limits<std::uint64_t>::max());

}  // namespace varnock::maker
