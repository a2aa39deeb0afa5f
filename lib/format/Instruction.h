// The raw patch's instructions: the table of their operands, one instruction
// decoded from its opcode and operands alone, without the bytes it hands
// over, and the walk over the stream that every reader but the two hot loops
// takes. The one place where the format's tests on an instruction are made,
// shared by every reader of the instruction stream.
#pragma once

#include <cstdint>

#include "format/ByteOrder.h"
#include "format/PatchFormat.h"

namespace varnock {

// The widths in bytes of an instruction's operands, the offset's before the
// length's, both big-endian. A short literal's length is its opcode; the
// stop and 0xFF have none.
struct OperandWidths {
  unsigned offset;
  unsigned length;
};

constexpr OperandWidths OperandWidthsOf(std::uint8_t code) {
  switch (code) {
    case opcode::kLiteral16:
      return {0, 2};
    case opcode::kLiteral32:
      return {0, 4};
    case opcode::kCopy16_8:
      return {2, 1};
    case opcode::kCopy16_16:
      return {2, 2};
    case opcode::kCopy16_32:
      return {2, 4};
    case opcode::kCopy32_8:
      return {4, 1};
    case opcode::kCopy32_16:
      return {4, 2};
    case opcode::kCopy32_32:
      return {4, 4};
    default:
      return {0, 0};
  }
}

constexpr bool IsCopy(std::uint8_t code) { return OperandWidthsOf(code).offset != 0; }
// A literal whose length is an operand, its bytes after it.
constexpr bool IsLongLiteral(std::uint8_t code) {
  return OperandWidthsOf(code).offset == 0 && OperandWidthsOf(code).length != 0;
}

// The narrowest operands an encoder can write a copy's offset and length in.
constexpr unsigned OffsetWidth(std::uint64_t offset) { return offset <= 0xFFFF ? 2 : 4; }
constexpr unsigned LengthWidth(std::uint64_t length) { return length <= 0xFF ? 1 : length <= 0xFFFF ? 2 : 4; }

// The copy opcode whose operands have these widths.
constexpr std::uint8_t CopyOpcode(unsigned offset_width, unsigned length_width) {
  const unsigned length_index = length_width == 1 ? 0 : length_width == 2 ? 1 : 2;
  return static_cast<std::uint8_t>((offset_width == 2 ? opcode::kCopy16_8 : opcode::kCopy32_8) +
                                   length_index);
}

// The error of a patch that ends before its stop instruction.
[[noreturn]] void RaiseUnexpectedEnd();
// The error of a stream that does not end where its stop should be: a patch
// with no byte after its signature.
[[noreturn]] void RaiseStopCheck();
// The error of a copy that reaches past the source, for the instruction at
// `position` in the patch.
[[noreturn]] void RaiseBeyondSource(std::uint64_t position);

namespace decode {

// What an instruction earns instead of its run, in the order of the tests.
enum class Fault : std::uint8_t { kNone, kStop, kUnsupported64, kUnexpectedEnd, kBeyondSource, kRange };

// An instruction's run: `length` bytes from `from` in the source (a copy) or
// in the patch (a literal), unless `fault` stops the stream there.
struct Operation {
  std::uint64_t from;
  std::uint64_t next;  // the position of the instruction after it
  std::uint32_t length;
  Fault fault;
  bool copies;
};

// The most bytes an instruction's opcode and operands take.
inline constexpr std::uint64_t kLongestInstructionHead = 9;

constexpr Operation Refused(Fault fault) { return {0, 0, 0, fault, false}; }

// Every test below compares exact 64-bit sums with the patch size F; each one
// counts one byte more than the instruction's own, for the stop instruction
// that must still follow it. `head` is the patch's byte at `p`, followed by
// at least the next kLongestInstructionHead - 1 bytes or the rest of the patch.
template <unsigned LengthWidth>
Operation DecodeLongLiteral(const std::uint8_t* head, std::uint64_t p, std::uint64_t patch_size) {
  const std::uint64_t data_start = p + 1 + LengthWidth;
  if (data_start + 1 > patch_size) return Refused(Fault::kUnexpectedEnd);
  const std::uint64_t length = ReadBigEndian<LengthWidth>(head + 1);
  if (data_start + length + 1 > patch_size) return Refused(Fault::kUnexpectedEnd);
  if (length > kLongestRun) return Refused(Fault::kRange);
  return {data_start, data_start + length, static_cast<std::uint32_t>(length), Fault::kNone, false};
}

template <unsigned OffsetWidth, unsigned LengthWidth>
Operation DecodeCopy(const std::uint8_t* head, std::uint64_t p, std::uint64_t patch_size,
                     std::uint64_t source_size) {
  const std::uint64_t next = p + 1 + OffsetWidth + LengthWidth;
  if (next + 1 > patch_size) return Refused(Fault::kUnexpectedEnd);
  const std::uint64_t offset = ReadBigEndian<OffsetWidth>(head + 1);
  const std::uint64_t length = ReadBigEndian<LengthWidth>(head + 1 + OffsetWidth);
  if (offset + length > source_size) return Refused(Fault::kBeyondSource);
  if (length > kLongestRun) return Refused(Fault::kRange);
  return {offset, next, static_cast<std::uint32_t>(length), Fault::kNone, true};
}

// The operands' widths come from the table, as constants.
template <std::uint8_t Code>
Operation DecodeCopyOf(const std::uint8_t* head, std::uint64_t p, std::uint64_t patch_size,
                       std::uint64_t source_size) {
  constexpr OperandWidths widths = OperandWidthsOf(Code);
  return DecodeCopy<widths.offset, widths.length>(head, p, patch_size, source_size);
}

// `p` lies before the patch's last byte.
inline Operation DecodeOperation(const std::uint8_t* head, std::uint64_t p, std::uint64_t patch_size,
                                 std::uint64_t source_size) {
  const std::uint8_t code = head[0];
  if (code - 1u < opcode::kLongestShortLiteral) {
    if (p + code + 2 > patch_size) return Refused(Fault::kUnexpectedEnd);
    return {p + 1, p + 1 + code, code, Fault::kNone, false};
  }
  switch (code) {
    case opcode::kStop:
      return Refused(Fault::kStop);
    case opcode::kLiteral16:
      return DecodeLongLiteral<OperandWidthsOf(opcode::kLiteral16).length>(head, p, patch_size);
    case opcode::kLiteral32:
      return DecodeLongLiteral<OperandWidthsOf(opcode::kLiteral32).length>(head, p, patch_size);
    case opcode::kCopy16_8:
      return DecodeCopyOf<opcode::kCopy16_8>(head, p, patch_size, source_size);
    case opcode::kCopy16_16:
      return DecodeCopyOf<opcode::kCopy16_16>(head, p, patch_size, source_size);
    case opcode::kCopy16_32:
      return DecodeCopyOf<opcode::kCopy16_32>(head, p, patch_size, source_size);
    case opcode::kCopy32_8:
      return DecodeCopyOf<opcode::kCopy32_8>(head, p, patch_size, source_size);
    case opcode::kCopy32_16:
      return DecodeCopyOf<opcode::kCopy32_16>(head, p, patch_size, source_size);
    case opcode::kCopy32_32:
      return DecodeCopyOf<opcode::kCopy32_32>(head, p, patch_size, source_size);
    default:
      return Refused(Fault::kUnsupported64);
  }
}

// Where a walk over the stream stopped: at the patch's last byte, where the
// stop must be (fault kNone), or at the instruction at `position` that earns
// `fault`.
struct WalkEnd {
  std::uint64_t position;
  Fault fault;
};

// Walks the instructions from `position` to the patch's last byte, handing
// each to `visit(position, opcode, operation)`, and stops at the first that
// earns a fault. `head_at(position)` yields the patch's bytes there as
// DecodeOperation reads them, valid until the next call. The two loops that
// write runs decode ahead of their writes and walk on their own.
template <typename HeadAt, typename Visit>
WalkEnd ForEachOperation(std::uint64_t position, std::uint64_t patch_size, std::uint64_t source_size,
                         HeadAt&& head_at, Visit&& visit) {
  const std::uint64_t last = patch_size - 1;
  while (position < last) {
    const std::uint8_t* head = head_at(position);
    const Operation operation = DecodeOperation(head, position, patch_size, source_size);
    if (operation.fault != Fault::kNone) return {position, operation.fault};
    visit(position, head[0], operation);
    position = operation.next;
  }
  return {position, Fault::kNone};
}

// Raises the error `fault` earns for the instruction at `position`.
[[noreturn]] void Raise(Fault fault, std::uint64_t position);

// Raises the errors of the stream's end: the last instruction must end where
// the patch's last byte, `last_byte` at `last`, is a stop instruction.
void CheckStreamEnd(std::uint64_t position, std::uint64_t last, std::uint8_t last_byte);

}  // namespace decode
}  // namespace varnock
