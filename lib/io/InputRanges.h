// An input read by ranges, for a caller that cannot, or must not, hold it as
// one span: a file read with plain reads, or a host's read callback.
#pragma once

#include <cstdint>
#include <span>

namespace varnock {

class InputRanges {
 public:
  virtual ~InputRanges() = default;

  // The input's length, fixed for the whole read.
  virtual std::uint64_t Size() const noexcept = 0;

  // Fills `into` with the bytes from `offset`; the range lies within Size().
  // Raises an Exception when they cannot all be had (EInputShortened when the
  // input ended before them).
  virtual void Read(std::uint64_t offset, std::span<std::uint8_t> into) = 0;
};

}  // namespace varnock
