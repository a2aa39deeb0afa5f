// Writes the patch format: header, signature, instructions, stop.
#pragma once

#include <cstdint>
#include <vector>

#include "format/PatchFormat.h"
#include "make/encode/PatchSink.h"

namespace varnock {

// Bytes the encoder spends on a literal run or a copy of `length` bytes, split
// as the encoder splits them, for the parse to weigh.
std::uint64_t LiteralCost(std::uint64_t length);
std::uint64_t CopyCost(std::uint64_t offset, std::uint64_t length);

// Bytes the encoder gathers before it hands them to the sink.
inline constexpr std::uint64_t kEncoderBuffer = std::uint64_t{1} << 20;

// Gathers the encoded stream and hands it to a sink in large pieces.
class PatchEncoder {
 public:
  // Writes the header (no header block) and the signature.
  PatchEncoder(PatchSink& sink, std::uint32_t source_crc, std::uint32_t target_crc);

  // Each splits a run the format cannot hold in one instruction; a literal
  // run is also split where two headers take fewer bytes than one. A copy
  // must lie inside a source below 4 GiB; one that continues the copy before
  // it joins it (written once the next instruction or Finish comes).
  void Literal(ByteSpan bytes);
  void Copy(std::uint64_t offset, std::uint64_t length);
  // Writes the stop instruction and hands over what is left; the size written.
  std::uint64_t Finish();

  // Where the source lines up with the next target byte after what was given:
  // the last copy's end, moved on by the literal bytes since. A container
  // writes offsets from here and literals against the source from here.
  std::uint64_t Cursor() const noexcept { return cursor_; }

 private:
  void Put(std::uint8_t byte) { buffer_.push_back(byte); }
  void Drain(bool always);
  void WriteCopy();

  // The copy not written yet, which the next one may continue.
  std::uint64_t copy_offset_ = 0;
  std::uint64_t copy_length_ = 0;
  std::uint64_t cursor_ = 0;

  PatchSink& sink_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t written_ = 0;
};

}  // namespace varnock
