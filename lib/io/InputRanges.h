// An input read by ranges, for a caller that cannot, or must not, hold it as
// one span: a file read with plain reads, or a host's read callback.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
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

  // The whole input, where it is in memory already.
  virtual std::optional<std::span<const std::uint8_t>> Whole() const { return std::nullopt; }
};

// Bytes the caller holds in memory, read by ranges like any other input.
class SpanRanges final : public InputRanges {
 public:
  explicit SpanRanges(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t Size() const noexcept override { return bytes_.size(); }
  void Read(std::uint64_t offset, std::span<std::uint8_t> into) override {
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
  }
  std::optional<std::span<const std::uint8_t>> Whole() const override { return bytes_; }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace varnock
