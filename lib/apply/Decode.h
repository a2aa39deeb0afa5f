// One instruction decoded from its opcode and operands alone, without the
// bytes it hands over: the one place where the format's tests on an
// instruction are made, shared by the stream over spans and the one over
// ranges. Internal to patch/.
#pragma once

#include <cstdint>

#include "common/PatchFormat.h"

namespace varnock::decode {

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

template <unsigned Width>
std::uint32_t ReadBigEndian(const std::uint8_t* bytes) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < Width; ++i) value = value << 8 | bytes[i];
  return value;
}

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
      return DecodeLongLiteral<2>(head, p, patch_size);
    case opcode::kLiteral32:
      return DecodeLongLiteral<4>(head, p, patch_size);
    case opcode::kCopy16_8:
      return DecodeCopy<2, 1>(head, p, patch_size, source_size);
    case opcode::kCopy16_16:
      return DecodeCopy<2, 2>(head, p, patch_size, source_size);
    case opcode::kCopy16_32:
      return DecodeCopy<2, 4>(head, p, patch_size, source_size);
    case opcode::kCopy32_8:
      return DecodeCopy<4, 1>(head, p, patch_size, source_size);
    case opcode::kCopy32_16:
      return DecodeCopy<4, 2>(head, p, patch_size, source_size);
    case opcode::kCopy32_32:
      return DecodeCopy<4, 4>(head, p, patch_size, source_size);
    default:
      return Refused(Fault::kUnsupported64);
  }
}

// Raises the error `fault` earns for the instruction at `position`.
[[noreturn]] void Raise(Fault fault, std::uint64_t position);

// Raises the errors of the stream's end: the last instruction must end where
// the patch's last byte, `last_byte` at `last`, is a stop instruction.
void CheckStreamEnd(std::uint64_t position, std::uint64_t last, std::uint8_t last_byte);

// Far enough ahead for a random source read to arrive from memory while the
// runs before it are written; measured in bench/README.md.
inline constexpr std::size_t kLookahead = 32;

// How many bytes of a copy's head are asked of the memory ahead of its write:
// its first and last cache line.
inline constexpr std::uint64_t kPrefetchedHead = 128;

}  // namespace varnock::decode

// Asks the memory for the first and the last cache line of the head of the
// `length` bytes at `bytes`, a copy's source whose write comes kLookahead
// instructions later; the hardware follows a long run by itself. A macro:
// GCC drops a void function that only prefetches, taking it as pure.
#if defined(__GNUC__)
#define VARNOCK_PREFETCH_HEAD(bytes, length)                                                                \
  do {                                                                                                      \
    if ((length) > 0) {                                                                                     \
      __builtin_prefetch(bytes);                                                                            \
      __builtin_prefetch(                                                                                   \
          (bytes) +                                                                                         \
          ((length) < ::varnock::decode::kPrefetchedHead ? (length) : ::varnock::decode::kPrefetchedHead) - \
          1);                                                                                               \
    }                                                                                                       \
  } while (false)
#else
#define VARNOCK_PREFETCH_HEAD(bytes, length) \
  do {                                       \
  } while (false)
#endif
