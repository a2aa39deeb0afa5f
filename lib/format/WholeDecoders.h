// Raw patches compressed whole, by xz or by zstd, decoded as they are read.
#pragma once

#include <memory>

#include "format/PatchKind.h"
#include "format/RawPatchDecoder.h"
#include "io/InputRanges.h"

namespace varnock {

// How much of the raw patch its reader needs.
enum class DecodedReach {
  kWhole,
  // Its first kLongestPatchHead bytes: the decoder's RawLength() is then the
  // raw patch's length or that, whichever is less, and nothing past them is
  // decoded or checked.
  kHead,
};

// The decoder of `input`, of `kind` kXz or kZstd. Finds the raw patch's
// length first, from the file's index (xz) or its frames' headers (zstd), or
// where they do not tell it (a frame without its content size, an index too
// large to hold in about 1 MiB), by decoding the file once, only as far as
// `reach` needs. Raises the error of a damaged stream, code kXzDamaged or
// kZstdDamaged, and kTooLarge for a raw patch of 4 GiB or more: at once where
// the length is told, else as soon as decoding passes 4 GiB. Read whole, the
// file is decoded to its end, its checks included, when the raw patch's last
// byte is handed on.
std::unique_ptr<RawPatchDecoder> NewWholeDecoder(PatchKind kind, InputRanges& input,
                                                 DecodedReach reach = DecodedReach::kWhole);

}  // namespace varnock
