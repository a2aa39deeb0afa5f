// Where the source holds the target's bytes outside the covers, found by
// indexing those bytes, which are few when the pair is nearly the same, and
// passing the source over that index once, instead of indexing the source.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "make/ViewPages.h"
#include "make/index/SimilarityTest.h"
#include "make/index/SourceIndex.h"

namespace varnock::maker {

// An index that answers for patterns that start in `stretches` of `target`
// and run to the target's end (the spans FindCandidates asks about), and
// only for those: the longest match of a pattern's bytes within its stretch
// among the source places the pass met, without reading the source again
// (its length may fall short of where the bytes stop agreeing), and the 8
// source bytes before it (SourceMatch::before). Holds 16 bytes a stretch
// byte, about 35 while it is built; the pass reads the source once, and
// hands its pages back behind it (`pages`).
std::unique_ptr<SourceIndex> MakeGapIndex(ByteSpan source, ByteSpan target,
                                          std::span<const Stretch> stretches,
                                          const ViewPages& pages = ViewPages());

}  // namespace varnock::maker
