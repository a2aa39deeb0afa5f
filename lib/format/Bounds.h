// The formats' one bounds idiom, as the instruction decoder's tests
// (Instruction.h) spell it out: an exact sum in 64 bits compared with the
// bound, never a subtraction from it. Exact because every operand is a file's
// length, an offset or length of at most 32 bits, or a varint's value bounded
// first.
#pragma once

#include <cstdint>

namespace varnock {

// Whether the `count` bytes from `offset` lie within the first `size`.
constexpr bool FitsWithin(std::uint64_t offset, std::uint64_t count, std::uint64_t size) {
  return offset + count <= size;
}

}  // namespace varnock
