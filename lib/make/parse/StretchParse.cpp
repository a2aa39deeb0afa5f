#include "make/parse/StretchParse.h"

namespace varnock::maker {

void WriteInstruction(ByteSpan target, const Instruction& instruction, PatchEncoder& encoder) {
  if (instruction.source == kCarried)
    encoder.Literal(target.subspan(instruction.start, instruction.end - instruction.start));
  else
    encoder.Copy(instruction.source, instruction.end - instruction.start);
}

}  // namespace varnock::maker
