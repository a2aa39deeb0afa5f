// The general-purpose compressors a container's streams go through: LZMA2
// (raw, with its dictionary-size byte beside it) and zstd (one frame).
#pragma once

#include <cstdint>

#include "format/ContainerFormat.h"

namespace varnock::container {

struct Compressed {
  Codec codec;
  std::uint8_t property;
  Bytes bytes;
};

// What a stream holds, for LZMA2's choice of context: literal bytes, or the
// opcodes and varints of instructions, where a byte says little of the next
// and nothing falls on 4-byte bounds (one bit of the byte before and no
// position bits took 0.2-1.9% off those streams of real containers).
enum class StreamContent { kLiterals, kNumbers, kPredictedLiterals };

// `bytes` compressed with `codec` (not kStored) at its strongest setting, or
// with `fast` at a quick one; raises std::bad_alloc when memory is short.
Compressed Compress(Codec codec, ByteSpan bytes, bool fast = false,
                    StreamContent content = StreamContent::kLiterals);

// `stored` decoded by `codec` into exactly `into.size()` bytes; raises
// EContainerDamaged (naming the stream `name`) when it does not decode to
// exactly that, and refuses an LZMA2 dictionary larger than `largest_dictionary`.
void Decompress(Codec codec, std::uint8_t property, ByteSpan stored, std::span<std::uint8_t> into,
                std::uint32_t largest_dictionary, const char* name);

}  // namespace varnock::container
