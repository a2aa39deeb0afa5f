// A block's streams as the container lays them out (doc/container-format.md),
// built from instructions: the opcodes; the lengths no opcode tells, as
// varints; copies' offsets as zigzag varints from the cursor; literals
// plain and as their differences from the source at the cursor. The maker builds them to encode a container
// and to estimate one; the decoder reads the same layout back.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/ContainerFormat.h"
#include "format/Instruction.h"

namespace varnock::container {

// A block's streams before compression; the literals in every form, one of
// which the block keeps. The predicted form is made by the encoder, once a
// block's copies are all known.
enum class Form : std::size_t {
  kOpcodes,
  kLengths,
  kOffsets,
  kPlainLiterals,
  kDifferenceLiterals,
  kPredictedLiterals
};
inline constexpr std::size_t kFormCount = 6;

constexpr Form LiteralForm(Transform transform) {
  return transform == Transform::kPlain        ? Form::kPlainLiterals
         : transform == Transform::kDifference ? Form::kDifferenceLiterals
                                               : Form::kPredictedLiterals;
}

struct BlockForms {
  Bytes& operator[](Form form) noexcept { return of[static_cast<std::size_t>(form)]; }
  const Bytes& operator[](Form form) const noexcept { return of[static_cast<std::size_t>(form)]; }
  Bytes of[kFormCount];
};

// Appends to `out` the difference form of literal `bytes` taken with the
// cursor at `cursor`: each byte less the source's on its diagonal (0 past
// the source's end).
inline void AppendDifferences(ByteSpan source, std::uint64_t cursor, ByteSpan bytes, Bytes& out) {
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    const std::uint64_t aligned = cursor + k;
    const std::uint8_t base = aligned < source.size() ? source[aligned] : 0;
    out.push_back(static_cast<std::uint8_t>(bytes[k] - base));
  }
}

// Appends instructions to blocks' streams; the cursor, where the source lines
// up with the next target byte, carries on from block to block.
class StreamBuilder {
 public:
  StreamBuilder(ByteSpan source, std::uint64_t cursor) : source_(source), cursor_(cursor) {}

  std::uint64_t Cursor() const noexcept { return cursor_; }

  // A literal's opcode, and its length where the opcode does not tell it;
  // its bytes follow by AddLiteralBytes, in as many pieces as need be.
  void AddLiteral(BlockForms& into, std::uint8_t code, std::uint64_t length) {
    into[Form::kOpcodes].push_back(code);
    if (OperandWidthsOf(code).length != 0) AppendVarint(into[Form::kLengths], length);
  }
  void AddLiteralBytes(BlockForms& into, ByteSpan bytes) {
    AppendDifferences(source_, cursor_, bytes, into[Form::kDifferenceLiterals]);
    AddPlainLiteralBytes(into, bytes);
  }
  // The plain form alone, for a maker that makes the difference form later.
  void AddPlainLiteralBytes(BlockForms& into, ByteSpan bytes) {
    into[Form::kPlainLiterals].insert(into[Form::kPlainLiterals].end(), bytes.begin(), bytes.end());
    cursor_ += bytes.size();
  }
  void AddCopy(BlockForms& into, std::uint8_t code, std::uint64_t offset, std::uint64_t length) {
    into[Form::kOpcodes].push_back(code);
    AppendVarint(into[Form::kLengths], length);
    AppendVarint(into[Form::kOffsets],
                 Zigzag(static_cast<std::int64_t>(offset) - static_cast<std::int64_t>(cursor_)));
    cursor_ = offset + length;
  }
  void AddStop(BlockForms& into) { into[Form::kOpcodes].push_back(opcode::kStop); }

 private:
  ByteSpan source_;
  std::uint64_t cursor_;
};

}  // namespace varnock::container
