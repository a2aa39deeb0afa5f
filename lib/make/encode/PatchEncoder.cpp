#include "make/encode/PatchEncoder.h"

#include <algorithm>

#include "format/ByteOrder.h"
#include "format/Instruction.h"

namespace varnock {
namespace {

constexpr std::uint64_t kLongestLiteral16 = 0xFFFF;
constexpr std::uint64_t kShort = opcode::kLongestShortLiteral;

// The bytes of the next literal instruction for a run of `length` more bytes.
// Two short headers beat one 16-bit header up to 2 x 246 bytes, and a 16-bit
// one and a short one beat a 32-bit header just past 65535.
std::uint64_t NextLiteralPiece(std::uint64_t length) {
  if (length <= 2 * kShort) return std::min(length, kShort);
  if (length <= kLongestLiteral16 + kShort) return std::min(length, kLongestLiteral16);
  return std::min(length, kLongestRun);
}

std::uint8_t LiteralOpcode(std::uint64_t piece) {
  return piece <= kShort              ? static_cast<std::uint8_t>(piece)
         : piece <= kLongestLiteral16 ? opcode::kLiteral16
                                      : opcode::kLiteral32;
}

// Constants from the table: the parse weighs a literal at every target byte.
unsigned LiteralHeaderSize(std::uint64_t piece) {
  constexpr unsigned kHead16 = 1 + OperandWidthsOf(opcode::kLiteral16).length;
  constexpr unsigned kHead32 = 1 + OperandWidthsOf(opcode::kLiteral32).length;
  return piece <= kShort ? 1 : piece <= kLongestLiteral16 ? kHead16 : kHead32;
}

}  // namespace

std::uint64_t LiteralCost(std::uint64_t length) {
  std::uint64_t cost = length;
  while (length > 0) {
    const std::uint64_t piece = NextLiteralPiece(length);
    cost += LiteralHeaderSize(piece);
    length -= piece;
  }
  return cost;
}

std::uint64_t CopyCost(std::uint64_t offset, std::uint64_t length) {
  std::uint64_t cost = 0;
  while (length > 0) {
    const std::uint64_t piece = std::min(length, kLongestRun);
    cost += 1 + OffsetWidth(offset) + LengthWidth(piece);
    offset += piece;
    length -= piece;
  }
  return cost;
}

PatchEncoder::PatchEncoder(PatchSink& sink, std::uint32_t source_crc, std::uint32_t target_crc)
    : sink_(sink) {
  buffer_.reserve(std::size_t{kEncoderBuffer} + 16);
  AppendLittleEndian(buffer_, kMinimumHeaderSize, 2);
  AppendLittleEndian(buffer_, 0, 2);  // no header block
  AppendLittleEndian(buffer_, source_crc, 4);
  AppendLittleEndian(buffer_, target_crc, 4);
  buffer_.insert(buffer_.end(), std::begin(kPatchMagic), std::end(kPatchMagic));
  Put(kFormatVersion);
}

void PatchEncoder::Literal(ByteSpan bytes) {
  if (!bytes.empty()) WriteCopy();
  cursor_ += bytes.size();
  while (!bytes.empty()) {
    const std::uint64_t length = NextLiteralPiece(bytes.size());
    const std::uint8_t code = LiteralOpcode(length);
    Put(code);
    AppendBigEndian(buffer_, length, OperandWidthsOf(code).length);
    // Long literals skip the buffer: they go to the sink from where they lie.
    if (length >= kEncoderBuffer) {
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

void PatchEncoder::Copy(std::uint64_t offset, std::uint64_t length) {
  if (length == 0) return;
  cursor_ = offset + length;
  if (copy_length_ > 0 && copy_offset_ + copy_length_ == offset) {
    copy_length_ += length;
    return;
  }
  WriteCopy();
  copy_offset_ = offset;
  copy_length_ = length;
}

void PatchEncoder::WriteCopy() {
  std::uint64_t offset = copy_offset_;
  std::uint64_t length = copy_length_;
  copy_length_ = 0;
  while (length > 0) {
    const std::uint64_t run = std::min(length, kLongestRun);
    const unsigned offset_width = OffsetWidth(offset);
    const unsigned length_width = LengthWidth(run);
    Put(CopyOpcode(offset_width, length_width));
    AppendBigEndian(buffer_, offset, offset_width);
    AppendBigEndian(buffer_, run, length_width);
    offset += run;
    length -= run;
    Drain(false);
  }
}

std::uint64_t PatchEncoder::Finish() {
  WriteCopy();
  Put(opcode::kStop);
  Drain(true);
  return written_;
}

void PatchEncoder::Drain(bool always) {
  if (buffer_.empty() || (!always && buffer_.size() < kEncoderBuffer)) return;
  sink_.Write(buffer_);
  written_ += buffer_.size();
  buffer_.clear();
}

}  // namespace varnock
