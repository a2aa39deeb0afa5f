#include "format/Codecs.h"

#include <lzma.h>
// The stable output buffer is in the part of the API that may change between versions.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <new>

namespace varnock::container {
namespace {

// A dictionary no larger than the stream: it holds the whole stream anyway,
// and a decoder then needs no more memory than the stream's own.
constexpr std::uint32_t kSparseDictionary = 1 << 20;

// The maker's LZMA2 encoder takes about 12 bytes a dictionary byte, and
// since blocks are compressed while the patch is still being made, it comes
// on top of the maker's index: at 2 MiB the containers of the corpus were
// the same within 124 bytes (pg-tree's 4.48 MB smaller by them), at a
// quarter of the memory a block's 8 MiB dictionary took.
constexpr std::uint32_t kLargestDictionary = 2 << 20;

std::uint32_t DictionaryFor(std::size_t size) {
  std::uint32_t dictionary = LZMA_DICT_SIZE_MIN;
  while (dictionary < size && dictionary < kLargestDictionary) dictionary <<= 1;
  return dictionary;
}

Compressed CompressLzma2(ByteSpan bytes, StreamContent content) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 9)) throw std::bad_alloc();
  options.dict_size = DictionaryFor(bytes.size());
  // Predicted literals are mostly runs of zeros between what the prediction
  // got wrong: a larger dictionary found nothing more in them, and cost the
  // maker time and memory in proportion.
  if (content == StreamContent::kPredictedLiterals)
    options.dict_size = std::min(options.dict_size, kSparseDictionary);
  if (content == StreamContent::kPredictedLiterals) {
    // What the prediction got wrong says nothing of the byte after it.
    options.lc = 0;
    options.pb = 0;
  }
  if (content == StreamContent::kNumbers) {
    options.lc = 1;
    options.pb = 0;
  }
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  // LZMA2's properties are one byte, the dictionary's size.
  std::uint8_t property = 0;
  if (lzma_properties_encode(filters, &property) != LZMA_OK) throw std::bad_alloc();
  Bytes out(lzma_stream_buffer_bound(bytes.size()));
  std::size_t written = 0;
  const lzma_ret result =
      lzma_raw_buffer_encode(filters, nullptr, bytes.data(), bytes.size(), out.data(), &written, out.size());
  if (result != LZMA_OK) throw std::bad_alloc();
  out.resize(written);
  return {Codec::kLzma2, property, std::move(out)};
}

Compressed CompressZstd(ByteSpan bytes, bool fast) {
  Bytes out(ZSTD_compressBound(bytes.size()));
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
  if (!context) throw std::bad_alloc();
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, fast ? 9 : ZSTD_maxCLevel());
  if (fast) {
    // Estimates only rank forms of a block's literals against each other:
    // with tables this small they ranked every block of the corpus alike,
    // in a seventh less of the making's time and without the 50 MiB that
    // the level's own tables take for a block of 8 MiB.
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, 20);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_hashLog, 18);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_chainLog, 19);
  }
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 0);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 0);
  const std::size_t written =
      ZSTD_compress2(context.get(), out.data(), out.size(), bytes.data(), bytes.size());
  if (ZSTD_isError(written)) throw std::bad_alloc();
  out.resize(written);
  return {Codec::kZstd, 0, std::move(out)};
}

[[noreturn]] void Undecodable(const char* name) {
  throw EContainerDamaged(std::string("the ") + name + " stream does not decode");
}

// Read from a stream at a time.
constexpr std::size_t kStoredPiece = 64 << 10;

// The stored bytes a piece at a time, so that a stream is never held whole
// beside what it decodes to.
class Pieces {
 public:
  Pieces(std::uint64_t size, const StoredReader& read)
      : left_(size),
        read_(read),
        piece_(static_cast<std::size_t>(std::min<std::uint64_t>(size, kStoredPiece))) {}
  bool AtEnd() const noexcept { return left_ == 0; }
  std::span<const std::uint8_t> Next() {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left_, piece_.size()));
    read_({piece_.data(), count});
    left_ -= count;
    return {piece_.data(), count};
  }

 private:
  std::uint64_t left_;
  const StoredReader& read_;
  Bytes piece_;
};

void DecompressLzma2(std::uint8_t property, Pieces& stored, std::span<std::uint8_t> into,
                     std::uint32_t largest_dictionary, const char* name) {
  if (property > 40) Undecodable(name);
  // The dictionary's size as the property byte tells it.
  const std::uint64_t dictionary = std::uint64_t{2u | (property & 1u)} << (property / 2 + 11);
  if (dictionary > std::max<std::uint64_t>(largest_dictionary, LZMA_DICT_SIZE_MIN) * 2) Undecodable(name);
  lzma_filter filters[] = {{LZMA_FILTER_LZMA2, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, &property, 1) != LZMA_OK) Undecodable(name);
  // Allocated by liblzma's default allocator, malloc.
  std::unique_ptr<void, void (*)(void*)> held(filters[0].options, [](void* options) { std::free(options); });
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&stream, filters) != LZMA_OK) Undecodable(name);
  std::unique_ptr<lzma_stream, void (*)(lzma_stream*)> ended(&stream, &lzma_end);
  // An empty stream (its end marker alone) decodes into no bytes, but
  // liblzma takes no null buffer.
  std::uint8_t nothing = 0;
  stream.next_out = into.empty() ? &nothing : into.data();
  stream.avail_out = into.size();
  lzma_ret result = LZMA_OK;
  while (result == LZMA_OK) {
    if (stream.avail_in == 0 && !stored.AtEnd()) {
      const auto piece = stored.Next();
      stream.next_in = piece.data();
      stream.avail_in = piece.size();
    }
    result = lzma_code(&stream, stored.AtEnd() ? LZMA_FINISH : LZMA_RUN);
  }
  if (result != LZMA_STREAM_END || !stored.AtEnd() || stream.avail_in != 0 || stream.avail_out != 0)
    Undecodable(name);
}

void DecompressZstd(Pieces& stored, std::span<std::uint8_t> into, const char* name) {
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
  if (!context) throw std::bad_alloc();
  // Decoded in place in `into`, which holds the whole window: no buffer of
  // the frame's window size is taken.
  ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1);
  std::uint8_t nothing = 0;
  ZSTD_outBuffer out{into.empty() ? &nothing : into.data(), into.size(), 0};
  ZSTD_inBuffer in{nullptr, 0, 0};
  // Exactly one frame, and nothing after it.
  for (std::size_t left = 1; left != 0;) {
    if (in.pos == in.size) {
      if (stored.AtEnd()) Undecodable(name);
      const auto piece = stored.Next();
      in = {piece.data(), piece.size(), 0};
    }
    const std::size_t had_in = in.pos;
    const std::size_t had_out = out.pos;
    left = ZSTD_decompressStream(context.get(), &out, &in);
    if (ZSTD_isError(left) || (left != 0 && in.pos == had_in && out.pos == had_out && in.pos != in.size))
      Undecodable(name);
  }
  if (in.pos != in.size || !stored.AtEnd() || out.pos != into.size()) Undecodable(name);
}

}  // namespace

Compressed Compress(Codec codec, ByteSpan bytes, bool fast, StreamContent content) {
  return codec == Codec::kLzma2 ? CompressLzma2(bytes, content) : CompressZstd(bytes, fast);
}

void Decompress(Codec codec, std::uint8_t property, std::uint64_t stored_size, const StoredReader& read,
                std::span<std::uint8_t> into, std::uint32_t largest_dictionary, const char* name) {
  switch (codec) {
    case Codec::kStored:
      if (stored_size != into.size()) Undecodable(name);
      read(into);
      return;
    case Codec::kLzma2: {
      Pieces stored(stored_size, read);
      DecompressLzma2(property, stored, into, largest_dictionary, name);
      return;
    }
    case Codec::kZstd: {
      if (property != 0) Undecodable(name);
      Pieces stored(stored_size, read);
      DecompressZstd(stored, into, name);
      return;
    }
  }
  Undecodable(name);
}

QuickCompressor::QuickCompressor() : context_(ZSTD_createCCtx()) {
  if (!context_) throw std::bad_alloc();
}

void QuickCompressor::Free::operator()(ZSTD_CCtx_s* context) const noexcept { ZSTD_freeCCtx(context); }

std::uint64_t QuickCompressor::Size(const Bytes& bytes) {
  if (bytes.empty()) return 0;
  out_.resize(ZSTD_compressBound(bytes.size()));
  const std::size_t written =
      ZSTD_compressCCtx(context_.get(), out_.data(), out_.size(), bytes.data(), bytes.size(), 1);
  return ZSTD_isError(written) ? bytes.size() : written;
}

}  // namespace varnock::container
