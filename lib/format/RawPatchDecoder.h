// A raw patch decoded front to back from what carries it: a container, an
// xz file or a zstd file.
#pragma once

#include <cstdint>
#include <span>

namespace varnock {

class RawPatchDecoder {
 public:
  virtual ~RawPatchDecoder() = default;
  // The raw patch's length.
  virtual std::uint64_t RawLength() const noexcept = 0;
  // Places the next bytes of the raw patch at the start of `into` and returns
  // how many: at least 1 while any remain. Raises the error of a damaged
  // carrier when it finds the damage: a container before it hands on any
  // byte of a damaged block, xz and zstd where their decompressors find it.
  virtual std::size_t Read(std::span<std::uint8_t> into) = 0;
  // Starts again from the raw patch's first byte.
  virtual void Restart() = 0;
};

}  // namespace varnock
