#include "make/encode/RawPatchReader.h"

#include <algorithm>

#include "format/Bounds.h"
#include "format/ByteOrder.h"
#include "format/PatchFormat.h"

namespace varnock {

void RawPatchReader::Write(ByteSpan bytes) {
  // A long literal's bytes that arrive on their own are handed over where they are.
  if (held_.empty() && literal_left_ > 0) {
    const std::uint64_t taken = TakeLiteral(bytes);
    consumed_ += taken;
    bytes = bytes.subspan(static_cast<std::size_t>(taken));
  }
  held_.insert(held_.end(), bytes.begin(), bytes.end());
  Decode();
}

std::uint64_t RawPatchReader::TakeLiteral(ByteSpan bytes) {
  const std::uint64_t count = std::min<std::uint64_t>(literal_left_, bytes.size());
  if (count > 0) visitor_.LiteralBytes(bytes.first(static_cast<std::size_t>(count)));
  literal_left_ -= count;
  return count;
}

void RawPatchReader::Decode() {
  std::uint64_t at = 0;
  const ByteSpan held(held_);
  if (!head_read_) {
    if (held.size() < 2) return;
    const std::uint64_t head_size = (held[0] | held[1] << 8) + std::uint64_t{kSignatureSize};
    if (held.size() <= head_size) return;
    visitor_.Head(held.first(static_cast<std::size_t>(head_size)));
    head_read_ = true;
    at = head_size;
  }
  while (at < held.size()) {
    if (literal_left_ > 0) {
      at += TakeLiteral(held.subspan(static_cast<std::size_t>(at)));
      continue;
    }
    const std::uint8_t code = held[at];
    if (IsLongLiteral(code)) {
      const unsigned width = OperandWidthsOf(code).length;
      if (!FitsWithin(at, 1 + width, held.size())) break;
      const std::uint64_t length = ReadBigEndian(held.data() + at + 1, width);
      if (length > kLongestRun) decode::Raise(decode::Fault::kRange, consumed_ + at);
      const decode::Operation operation{consumed_ + at + 1 + width, consumed_ + at + 1 + width + length,
                                        static_cast<std::uint32_t>(length), decode::Fault::kNone, false};
      visitor_.Instruction(consumed_ + at, held.subspan(static_cast<std::size_t>(at), 1 + width), operation);
      literal_left_ = length;
      at += 1 + width;
      continue;
    }
    // The stop is the last byte only once the patch is complete.
    if (code == opcode::kStop && at + 1 == held.size()) break;
    const decode::Operation operation =
        decode::DecodeOperation(held.data() + at, at, held.size(), source_size_);
    if (operation.fault == decode::Fault::kUnexpectedEnd) break;
    if (operation.fault != decode::Fault::kNone) decode::Raise(operation.fault, consumed_ + at);
    const std::uint64_t head = operation.copies ? operation.next - at : operation.from - at;
    decode::Operation placed = operation;
    placed.next += consumed_;
    if (!operation.copies) placed.from += consumed_;
    visitor_.Instruction(consumed_ + at,
                         held.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(head)), placed);
    if (!operation.copies) {
      visitor_.LiteralBytes(held.subspan(static_cast<std::size_t>(operation.from), operation.length));
    }
    at = operation.next;
  }
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(at));
  consumed_ += at;
}

void RawPatchReader::Finish() {
  if (!head_read_) RaiseStopCheck();
  if (literal_left_ > 0 || held_.empty()) RaiseUnexpectedEnd();
  if (held_.size() != 1 || held_[0] != opcode::kStop) RaiseUnexpectedEnd();
  visitor_.Stop(consumed_);
}

}  // namespace varnock
