// Raw patches compressed whole, by xz or by zstd, decoded as they are read.
#pragma once

#include <memory>

#include "format/PatchKind.h"
#include "format/RawPatchDecoder.h"
#include "io/InputRanges.h"

namespace varnock {

// The decoder of `input`, of `kind` kXz or kZstd. Finds the raw patch's
// length first, from the file's index (xz) or its frames' headers (zstd), or
// where a frame does not tell it, by decoding the file once. Raises the
// error of a damaged stream, code kXzDamaged or kZstdDamaged.
std::unique_ptr<RawPatchDecoder> NewWholeDecoder(PatchKind kind, InputRanges& input);

}  // namespace varnock
