// A raw patch read as it is written, a piece at a time, for the stages that
// turn it into something else as it comes: its head, then its instructions
// one by one, a long literal's bytes as they arrive, so that none of it need
// be held but one instruction's head and a short literal.
#pragma once

#include <cstdint>
#include <vector>

#include "format/Instruction.h"

namespace varnock {

class RawPatchVisitor {
 public:
  virtual ~RawPatchVisitor() = default;
  // The header and the signature, whole.
  virtual void Head(ByteSpan head) = 0;
  // The instruction at `position` in the patch, its opcode and operands in
  // `head`; a literal's bytes follow by LiteralBytes, in one piece or more.
  virtual void Instruction(std::uint64_t position, ByteSpan head, const decode::Operation& operation) = 0;
  virtual void LiteralBytes(ByteSpan bytes) = 0;
  // The stop instruction, the patch's last byte, at `position`.
  virtual void Stop(std::uint64_t position) = 0;
};

class RawPatchReader {
 public:
  // The patch must be one for a source of `source_size` bytes.
  RawPatchReader(RawPatchVisitor& visitor, std::uint64_t source_size)
      : visitor_(visitor), source_size_(source_size) {}
  // Raises the decoder's errors for a patch that breaks the format.
  void Write(ByteSpan bytes);
  // The patch is complete: its last byte must be the stop.
  void Finish();

 private:
  // Hands over the whole instructions held; returns when one is not yet whole.
  void Decode();
  // Hands over the bytes of the long literal being read that `bytes` begins with; how many.
  std::uint64_t TakeLiteral(ByteSpan bytes);

  RawPatchVisitor& visitor_;
  const std::uint64_t source_size_;
  std::vector<std::uint8_t> held_;
  bool head_read_ = false;
  std::uint64_t literal_left_ = 0;
  // Patch bytes handed over and no longer held.
  std::uint64_t consumed_ = 0;
};

}  // namespace varnock
