#include "format/Codecs.h"

#include <lzma.h>
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

std::uint32_t DictionaryFor(std::size_t size) {
  std::uint32_t dictionary = LZMA_DICT_SIZE_MIN;
  while (dictionary < size && dictionary < kLargestBlockLimit) dictionary <<= 1;
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

void DecompressLzma2(std::uint8_t property, ByteSpan stored, std::span<std::uint8_t> into,
                     std::uint32_t largest_dictionary, const char* name) {
  if (property > 40) Undecodable(name);
  // The dictionary's size as the property byte tells it.
  const std::uint64_t dictionary = std::uint64_t{2u | (property & 1u)} << (property / 2 + 11);
  if (dictionary > std::max<std::uint64_t>(largest_dictionary, LZMA_DICT_SIZE_MIN) * 2) Undecodable(name);
  lzma_filter filters[] = {{LZMA_FILTER_LZMA2, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, &property, 1) != LZMA_OK) Undecodable(name);
  // Allocated by liblzma's default allocator, malloc.
  std::unique_ptr<void, void (*)(void*)> held(filters[0].options, [](void* options) { std::free(options); });
  std::size_t in_position = 0;
  std::size_t out_position = 0;
  const lzma_ret result = lzma_raw_buffer_decode(filters, nullptr, stored.data(), &in_position, stored.size(),
                                                 into.data(), &out_position, into.size());
  if (result != LZMA_OK || in_position != stored.size() || out_position != into.size()) Undecodable(name);
}

void DecompressZstd(ByteSpan stored, std::span<std::uint8_t> into, const char* name) {
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
  if (!context) throw std::bad_alloc();
  // Exactly one frame, and nothing after it.
  const std::size_t frame = ZSTD_findFrameCompressedSize(stored.data(), stored.size());
  if (ZSTD_isError(frame) || frame != stored.size()) Undecodable(name);
  const std::size_t written =
      ZSTD_decompressDCtx(context.get(), into.data(), into.size(), stored.data(), stored.size());
  if (ZSTD_isError(written) || written != into.size()) Undecodable(name);
}

}  // namespace

Compressed Compress(Codec codec, ByteSpan bytes, bool fast, StreamContent content) {
  return codec == Codec::kLzma2 ? CompressLzma2(bytes, content) : CompressZstd(bytes, fast);
}

void Decompress(Codec codec, std::uint8_t property, ByteSpan stored, std::span<std::uint8_t> into,
                std::uint32_t largest_dictionary, const char* name) {
  switch (codec) {
    case Codec::kStored:
      if (stored.size() != into.size()) Undecodable(name);
      std::copy(stored.begin(), stored.end(), into.begin());
      return;
    case Codec::kLzma2:
      DecompressLzma2(property, stored, into, largest_dictionary, name);
      return;
    case Codec::kZstd:
      if (property != 0) Undecodable(name);
      DecompressZstd(stored, into, name);
      return;
  }
  Undecodable(name);
}

}  // namespace varnock::container
