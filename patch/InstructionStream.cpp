#include "files/Errors.h"
#include "patch/PatchFormat.h"

namespace varnock {
namespace {

[[noreturn]] void RaiseUnexpectedEnd() { throw Exception("Unexpected end of patch file"); }

std::uint32_t ReadBigEndian(const std::uint8_t* bytes, unsigned width) {
  std::uint32_t value = 0;
  for (unsigned i = 0; i < width; ++i) value = value << 8 | bytes[i];
  return value;
}

// The stop instruction must still fit after an instruction that ends at `end`.
void RequireRoomBefore(std::uint64_t end, std::uint64_t patch_size) {
  if (end + 1 > patch_size) RaiseUnexpectedEnd();
}

DecodedRun DecodeLiteral(ByteSpan patch, std::uint64_t p, unsigned length_width) {
  const std::uint8_t* bytes = patch.data();
  std::uint64_t length = bytes[p];
  if (length_width > 0) {
    RequireRoomBefore(p + 1 + length_width, patch.size());
    length = ReadBigEndian(bytes + p + 1, length_width);
  }
  std::uint64_t data_start = p + 1 + length_width;
  RequireRoomBefore(data_start + length, patch.size());
  if (length > kLongestRun) throw ERangeError();
  return {bytes + data_start, static_cast<std::uint32_t>(length), data_start + length};
}

struct CopyForm {
  unsigned offset_width;
  unsigned length_width;
};

// Indexed by opcode - kCopy16_8.
constexpr CopyForm kCopyForms[] = {{2, 1}, {2, 2}, {2, 4}, {4, 1}, {4, 2}, {4, 4}};

DecodedRun DecodeCopy(ByteSpan patch, ByteSpan source, std::uint64_t p) {
  const CopyForm form = kCopyForms[patch[p] - opcode::kCopy16_8];
  std::uint64_t next = p + 1 + form.offset_width + form.length_width;
  RequireRoomBefore(next, patch.size());
  std::uint64_t offset = ReadBigEndian(patch.data() + p + 1, form.offset_width);
  std::uint64_t length = ReadBigEndian(patch.data() + p + 1 + form.offset_width, form.length_width);
  if (offset + length > source.size()) {
    throw Exception("Seek beyond source file end. Instruction at " + std::to_string(p));
  }
  if (length > kLongestRun) throw ERangeError();
  return {source.data() + offset, static_cast<std::uint32_t>(length), next};
}

}  // namespace

DecodedRun DecodeInstruction(ByteSpan patch, ByteSpan source, std::uint64_t position) {
  std::uint8_t code = patch[position];
  switch (code) {
    case opcode::kStop:
      throw Exception("Unexpected stop instruction before end of patch file");
    case opcode::kUnsupported64:
      throw Exception("64-bit length of file is not supported in this version");
    case opcode::kLiteral16:
      return DecodeLiteral(patch, position, 2);
    case opcode::kLiteral32:
      return DecodeLiteral(patch, position, 4);
    default:
      if (code <= opcode::kLongestShortLiteral) return DecodeLiteral(patch, position, 0);
      return DecodeCopy(patch, source, position);
  }
}

void RunInstructionStream(ByteSpan patch, ByteSpan source, const PatchHeader& header, TStream& target) {
  const std::uint64_t last = patch.size() - 1;
  std::uint64_t position = std::uint64_t{header.header_size} + kSignatureSize;
  while (position < last) {
    DecodedRun run = DecodeInstruction(patch, source, position);
    target.WriteRun(run.bytes, static_cast<std::int32_t>(run.length));
    position = run.next;
  }
  if (position != last) throw Exception("Internal error checking the stop instruction");
  if (patch[last] != opcode::kStop) RaiseUnexpectedEnd();
}

}  // namespace varnock
