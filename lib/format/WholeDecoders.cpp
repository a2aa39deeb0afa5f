#include "format/WholeDecoders.h"

#include <lzma.h>
// The frame header's fields are in the part of the API that may change between
// versions; the frame format itself does not.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "common/Errors.h"
#include "format/PatchFormat.h"

namespace varnock {
namespace {

// Read from the file at a time.
constexpr std::size_t kInputStep = 64 << 10;
// The most memory a decompressor may take: what xz -9 (64 MiB dictionary)
// and zstd --long (128 MiB window) need, so that a short file cannot make
// the decoder ask for gigabytes.
constexpr std::uint64_t kDecoderMemory = std::uint64_t{160} << 20;
constexpr int kLargestZstdWindowLog = 27;
// The most an xz file's index may take to hold, its records a few bytes a
// block: an index that takes more (many small blocks, a valid file all the
// same) is not held, and the length is found by decoding, which holds none
// of it and ends at 4 GiB.
constexpr std::uint64_t kIndexMemory = std::uint64_t{1} << 20;

[[noreturn]] void XzDamaged(const std::string& what) {
  throw Exception(ErrorKind::kXzDamaged, "Damaged xz stream: " + what);
}

[[noreturn]] void ZstdDamaged(const std::string& what) {
  throw Exception(ErrorKind::kZstdDamaged, "Damaged zstd stream: " + what);
}

const char* LzmaReason(lzma_ret result) {
  switch (result) {
    case LZMA_MEM_ERROR:
      throw std::bad_alloc();
    case LZMA_MEMLIMIT_ERROR:
      return "it needs more than 160 MiB to decode";
    case LZMA_FORMAT_ERROR:
      return "not in the xz format";
    case LZMA_OPTIONS_ERROR:
      return "options this decoder does not support";
    case LZMA_DATA_ERROR:
      return "corrupt data";
    case LZMA_BUF_ERROR:
      return "it ends too soon";
    default:
      return "it cannot be decoded";
  }
}

// The file read front to back in steps, for a decompressor.
class Feed {
 public:
  explicit Feed(InputRanges& input) : input_(input), buffer_(kInputStep) {}
  void Restart() { offset_ = 0; }
  bool AtEnd() const noexcept { return offset_ == input_.Size(); }
  // The next step of the file.
  std::span<const std::uint8_t> Next() {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(kInputStep, input_.Size() - offset_));
    input_.Read(offset_, {buffer_.data(), count});
    offset_ += count;
    return {buffer_.data(), count};
  }

 private:
  InputRanges& input_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t offset_ = 0;
};

// What both decoders share: the raw patch's length, told or found by
// decoding, and the reads of it, which stop there.
class WholeDecoder : public RawPatchDecoder {
 public:
  std::uint64_t RawLength() const noexcept final { return length_; }

  std::size_t Read(std::span<std::uint8_t> into) final {
    if (produced_ == length_) {
      if (reach_ == DecodedReach::kWhole) Finish();
      return 0;
    }
    const std::size_t count = Decode(
        into.first(static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), length_ - produced_))));
    if (count == 0) Unmeasured();
    produced_ += count;
    if (produced_ == length_ && reach_ == DecodedReach::kWhole) Finish();
    return count;
  }

  void Restart() final {
    RestartDecoding();
    produced_ = 0;
  }

 protected:
  explicit WholeDecoder(DecodedReach reach) : reach_(reach) {}

  // Sets the length from what the file tells, `told`, or else by decoding it
  // as far as the reach needs; raises kTooLarge for a raw patch of 4 GiB or
  // more as soon as that is known.
  void Measure(std::optional<std::uint64_t> told) {
    const std::uint64_t reach = reach_ == DecodedReach::kHead ? kLongestPatchHead : kLargestFile + 1;
    if (told && *told > kLargestFile) RaiseTooLarge();
    length_ = told ? std::min(*told, reach) : DecodedLength(reach);
    Restart();
  }

  // Up to into.size() decoded bytes; 0 only at the end of the file.
  virtual std::size_t Decode(std::span<std::uint8_t> into) = 0;
  virtual void RestartDecoding() = 0;
  // Raised when the file ends before its raw patch's length, or goes on past it.
  [[noreturn]] virtual void Unmeasured() = 0;

 private:
  [[noreturn]] static void RaiseTooLarge() {
    throw Exception(ErrorKind::kTooLarge,
                    "The patch decodes to 4 GiB or more; patches are below 4 GiB (4294967296 bytes)");
  }

  // At the end of the raw patch: the rest of the file must decode to nothing
  // more and be whole, its checks included.
  void Finish() {
    std::uint8_t probe[1];
    if (Decode(probe) != 0) Unmeasured();
  }

  // The decoded length, or `reach` when it is as long or longer; a whole raw
  // patch that reaches 4 GiB is refused there.
  std::uint64_t DecodedLength(std::uint64_t reach) {
    RestartDecoding();
    std::vector<std::uint8_t> scratch(kInputStep);
    std::uint64_t total = 0;
    while (total < reach) {
      const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(scratch.size(), reach - total));
      const std::size_t count = Decode({scratch.data(), wanted});
      if (count == 0) return total;
      total += count;
    }
    if (reach_ == DecodedReach::kWhole) RaiseTooLarge();
    return total;
  }

  DecodedReach reach_;
  std::uint64_t length_ = 0;
  std::uint64_t produced_ = 0;
};

class XzDecoder final : public WholeDecoder {
 public:
  XzDecoder(InputRanges& input, DecodedReach reach) : WholeDecoder(reach), input_(input), feed_(input) {
    Measure(UncompressedLength());
  }
  ~XzDecoder() override { lzma_end(&stream_); }

 private:
  void RestartDecoding() override {
    lzma_end(&stream_);
    stream_ = LZMA_STREAM_INIT;
    const lzma_ret result = lzma_stream_decoder(&stream_, kDecoderMemory, LZMA_CONCATENATED);
    if (result != LZMA_OK) XzDamaged(LzmaReason(result));
    feed_.Restart();
    ended_ = false;
  }

  std::size_t Decode(std::span<std::uint8_t> into) override {
    if (ended_) return 0;
    stream_.next_out = into.data();
    stream_.avail_out = into.size();
    while (stream_.avail_out == into.size()) {
      if (stream_.avail_in == 0 && !feed_.AtEnd()) {
        const auto next = feed_.Next();
        stream_.next_in = next.data();
        stream_.avail_in = next.size();
      }
      const lzma_ret result = lzma_code(&stream_, feed_.AtEnd() ? LZMA_FINISH : LZMA_RUN);
      if (result == LZMA_STREAM_END) {
        ended_ = true;
        break;
      }
      if (result != LZMA_OK) XzDamaged(LzmaReason(result));
    }
    return into.size() - stream_.avail_out;
  }

  [[noreturn]] void Unmeasured() override { XzDamaged("its index does not tell its length"); }

  // The uncompressed length its index tells, read from the end of the file;
  // none where the index takes more than kIndexMemory to hold.
  std::optional<std::uint64_t> UncompressedLength() {
    lzma_index* index = nullptr;
    lzma_stream info = LZMA_STREAM_INIT;
    lzma_ret result = lzma_file_info_decoder(&info, &index, kIndexMemory, input_.Size());
    std::vector<std::uint8_t> buffer(kInputStep);
    std::uint64_t offset = 0;
    while (result == LZMA_OK || result == LZMA_SEEK_NEEDED) {
      if (result == LZMA_SEEK_NEEDED) {
        offset = info.seek_pos;
        info.avail_in = 0;
      }
      if (info.avail_in == 0) {
        if (offset > input_.Size()) break;
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(kInputStep, input_.Size() - offset));
        input_.Read(offset, {buffer.data(), count});
        offset += count;
        info.next_in = buffer.data();
        info.avail_in = count;
      }
      result = lzma_code(&info, LZMA_RUN);
    }
    lzma_end(&info);
    if (result == LZMA_MEMLIMIT_ERROR) return std::nullopt;
    if (result != LZMA_STREAM_END) XzDamaged(LzmaReason(result));
    const std::uint64_t length = lzma_index_uncompressed_size(index);
    lzma_index_end(index, nullptr);
    return length;
  }

  InputRanges& input_;
  Feed feed_;
  lzma_stream stream_ = LZMA_STREAM_INIT;
  bool ended_ = false;
};

class ZstdDecoder final : public WholeDecoder {
 public:
  ZstdDecoder(InputRanges& input, DecodedReach reach)
      : WholeDecoder(reach), input_(input), feed_(input), stream_(ZSTD_createDStream(), &ZSTD_freeDStream) {
    if (!stream_) throw std::bad_alloc();
    ZSTD_DCtx_setParameter(stream_.get(), ZSTD_d_windowLogMax, kLargestZstdWindowLog);
    Measure(ToldLength());
  }

 private:
  void RestartDecoding() override {
    ZSTD_DCtx_reset(stream_.get(), ZSTD_reset_session_only);
    feed_.Restart();
    in_ = {nullptr, 0, 0};
    frame_left_ = 0;
  }

  std::size_t Decode(std::span<std::uint8_t> into) override {
    ZSTD_outBuffer out{into.data(), into.size(), 0};
    while (out.pos == 0) {
      if (in_.pos == in_.size) {
        if (feed_.AtEnd()) break;
        const auto next = feed_.Next();
        in_ = {next.data(), next.size(), 0};
      }
      frame_left_ = ZSTD_decompressStream(stream_.get(), &out, &in_);
      if (ZSTD_isError(frame_left_)) ZstdDamaged(ZSTD_getErrorName(frame_left_));
    }
    // The last frame must end with the file.
    if (out.pos == 0 && frame_left_ != 0) ZstdDamaged("it ends within a frame");
    return out.pos;
  }

  [[noreturn]] void Unmeasured() override { ZstdDamaged("its frames do not tell its length"); }

  // The sum of the frames' content sizes, walked from header to header; none
  // when a frame does not tell its size.
  std::optional<std::uint64_t> ToldLength() {
    std::uint64_t offset = 0;
    std::uint64_t total = 0;
    std::uint8_t head[ZSTD_FRAMEHEADERSIZE_MAX];
    while (offset < input_.Size()) {
      const auto have =
          static_cast<std::size_t>(std::min<std::uint64_t>(sizeof head, input_.Size() - offset));
      input_.Read(offset, {head, have});
      ZSTD_frameHeader frame{};
      const std::size_t result = ZSTD_getFrameHeader(&frame, head, have);
      if (ZSTD_isError(result)) ZstdDamaged(ZSTD_getErrorName(result));
      if (result != 0) ZstdDamaged("it ends within a frame's header");
      if (frame.frameType == ZSTD_skippableFrame) {
        offset += frame.headerSize + frame.frameContentSize;
        continue;
      }
      if (frame.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN) return std::nullopt;
      // Told at once, before any block is walked or decoded.
      if (frame.frameContentSize > kLargestFile - total) return frame.frameContentSize;
      total += frame.frameContentSize;
      offset += frame.headerSize;
      // The blocks: a 3-byte header each, telling its size and whether it is the last.
      for (bool last = false; !last;) {
        std::uint8_t block[3];
        if (offset + 3 > input_.Size()) ZstdDamaged("it ends within a frame");
        input_.Read(offset, block);
        const std::uint32_t value = block[0] | block[1] << 8 | block[2] << 16;
        last = (value & 1) != 0;
        const std::uint32_t type = value >> 1 & 3;
        if (type == 3) ZstdDamaged("a block of a reserved type");
        offset += 3 + (type == 1 ? 1 : value >> 3);
      }
      offset += frame.checksumFlag ? 4 : 0;
    }
    if (offset != input_.Size()) ZstdDamaged("it ends within a frame");
    return total;
  }

  InputRanges& input_;
  Feed feed_;
  std::unique_ptr<ZSTD_DStream, decltype(&ZSTD_freeDStream)> stream_;
  ZSTD_inBuffer in_{nullptr, 0, 0};
  std::size_t frame_left_ = 0;
};

}  // namespace

std::unique_ptr<RawPatchDecoder> NewWholeDecoder(PatchKind kind, InputRanges& input, DecodedReach reach) {
  if (kind == PatchKind::kXz) return std::make_unique<XzDecoder>(input, reach);
  return std::make_unique<ZstdDecoder>(input, reach);
}

}  // namespace varnock
