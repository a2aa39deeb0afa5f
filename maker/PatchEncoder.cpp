#include "maker/PatchEncoder.h"

#include <algorithm>

namespace varnock {
namespace {

constexpr std::size_t kDrainSize = 1 << 20;
constexpr std::uint64_t kLongestLiteral16 = 0xFFFF;
constexpr std::uint64_t kLongestOffset16 = 0xFFFF;

}  // namespace

std::uint64_t LiteralCost(std::uint64_t length) {
  if (length == 0) return 0;
  std::uint64_t cost = 0;
  for (; length > kLongestRun; length -= kLongestRun) cost += 5 + kLongestRun;
  if (length <= opcode::kLongestShortLiteral) return cost + 1 + length;
  return cost + (length <= kLongestLiteral16 ? 3 : 5) + length;
}

std::uint64_t CopyCost(std::uint32_t offset, std::uint64_t length) {
  const std::uint64_t offset_width = offset <= kLongestOffset16 ? 2 : 4;
  std::uint64_t cost = 0;
  for (; length > kLongestRun; length -= kLongestRun) cost += 1 + offset_width + 4;
  const std::uint64_t length_width = length <= 0xFF ? 1 : length <= 0xFFFF ? 2 : 4;
  return cost + 1 + offset_width + length_width;
}

PatchEncoder::PatchEncoder(PatchSink& sink, std::uint32_t source_crc, std::uint32_t target_crc) : sink_(sink) {
  buffer_.reserve(kDrainSize + 16);
  auto put_little_endian = [&](std::uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) Put(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  put_little_endian(kMinimumHeaderSize, 2);
  put_little_endian(0, 2);  // no header block
  put_little_endian(source_crc, 4);
  put_little_endian(target_crc, 4);
  buffer_.insert(buffer_.end(), std::begin(kPatchMagic), std::end(kPatchMagic));
  Put(kFormatVersion);
}

void PatchEncoder::PutBigEndian(std::uint64_t value, unsigned width) {
  for (unsigned i = width; i-- > 0;) Put(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PatchEncoder::Literal(ByteSpan bytes) {
  while (!bytes.empty()) {
    const std::uint64_t length = std::min<std::uint64_t>(bytes.size(), kLongestRun);
    if (length <= opcode::kLongestShortLiteral) {
      Put(static_cast<std::uint8_t>(length));
    } else if (length <= kLongestLiteral16) {
      Put(opcode::kLiteral16);
      PutBigEndian(length, 2);
    } else {
      Put(opcode::kLiteral32);
      PutBigEndian(length, 4);
    }
    // Long literals skip the buffer: they go to the sink from where they lie.
    if (length >= kDrainSize) {
      Drain(true);
      sink_.Write(bytes.first(length));
      written_ += length;
    } else {
      buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
      Drain(false);
    }
    bytes = bytes.subspan(length);
  }
}

void PatchEncoder::Copy(std::uint32_t offset, std::uint64_t length) {
  while (length > 0) {
    const std::uint64_t run = std::min(length, kLongestRun);
    const bool short_offset = offset <= kLongestOffset16;
    const unsigned length_width = run <= 0xFF ? 1 : run <= 0xFFFF ? 2 : 4;
    const unsigned length_index = length_width == 1 ? 0 : length_width == 2 ? 1 : 2;
    Put(static_cast<std::uint8_t>((short_offset ? opcode::kCopy16_8 : opcode::kCopy32_8) + length_index));
    PutBigEndian(offset, short_offset ? 2 : 4);
    PutBigEndian(run, length_width);
    offset += static_cast<std::uint32_t>(run);
    length -= run;
    Drain(false);
  }
}

std::uint64_t PatchEncoder::Finish() {
  Put(opcode::kStop);
  Drain(true);
  return written_;
}

void PatchEncoder::Drain(bool always) {
  if (buffer_.empty() || (!always && buffer_.size() < kDrainSize)) return;
  sink_.Write(buffer_);
  written_ += buffer_.size();
  buffer_.clear();
}

}  // namespace varnock
