// Makes a container from a raw patch held whole, and the source it was made
// for: the way for short patches, tests and benchmarks.
#pragma once

#include <cstdint>

#include "make/encode/ContainerWriter.h"

namespace varnock::container {

// A raw patch up to this long is made into a container every way (the copies
// the prediction explains folded or not, predicting or not) and the smallest
// kept: the fast compressor's estimates rank forms truly on streams of some
// size, but on a small patch's few hundred bytes they can miss by a few (a
// 5 KB x86-64 library's patch grew by 2 bytes), and each way costs little.
inline constexpr std::size_t kLargestUnsurePatch = 64 << 10;

// The container of `raw_patch`, as ContainerWriter makes it, with the copies
// the prediction makes needless folded into literals where the source is an
// executable whose references it predicts: the raw patch it carries may then
// be another, put in `carried` when given (empty otherwise); it rebuilds the
// same target, which the caller checks.
Bytes EncodeContainer(ByteSpan raw_patch, ByteSpan source, unsigned threads,
                      const EncodeOptions& options = {}, EncodeReport* report = nullptr,
                      Bytes* carried = nullptr);

}  // namespace varnock::container
