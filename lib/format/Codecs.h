// The general-purpose compressors a container's streams go through: LZMA2
// (raw, with its dictionary-size byte beside it) and zstd (one frame).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "format/ContainerFormat.h"

struct ZSTD_CCtx_s;

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

// Fills its span with the next stored bytes of a stream.
using StoredReader = std::function<void(std::span<std::uint8_t>)>;

// The `stored_size` bytes that `read` hands over, front to back in pieces of
// at most 64 KiB (a stored stream: straight into `into`), decoded by `codec`
// into exactly `into.size()` bytes; raises EContainerDamaged (naming the
// stream `name`) when they do not decode to exactly that, and refuses an
// LZMA2 dictionary larger than `largest_dictionary`. Takes no memory that
// grows with the stream but LZMA2's dictionary.
void Decompress(Codec codec, std::uint8_t property, std::uint64_t stored_size, const StoredReader& read,
                std::span<std::uint8_t> into, std::uint32_t largest_dictionary, const char* name);

// What bytes take under zstd's quickest setting: enough to rank two forms of
// a stream, at a fraction of Compress's cost. One context serves every call;
// raises std::bad_alloc when memory is short.
class QuickCompressor {
 public:
  QuickCompressor();
  std::uint64_t Size(const Bytes& bytes);

 private:
  struct Free {
    void operator()(ZSTD_CCtx_s* context) const noexcept;
  };
  std::unique_ptr<ZSTD_CCtx_s, Free> context_;
  Bytes out_;
};

}  // namespace varnock::container
