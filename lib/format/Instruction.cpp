#include "format/Instruction.h"

#include <string>

#include "common/Errors.h"

namespace varnock {

void RaiseUnexpectedEnd() { throw Exception(ErrorKind::kUnexpectedEnd, "Unexpected end of patch file"); }

void RaiseStopCheck() {
  throw Exception(ErrorKind::kStopCheck, "Internal error checking the stop instruction");
}

void RaiseBeyondSource(std::uint64_t position) {
  throw Exception(ErrorKind::kBeyondSource,
                  "Seek beyond source file end. Instruction at " + std::to_string(position));
}

namespace decode {

void Raise(Fault fault, std::uint64_t position) {
  switch (fault) {
    case Fault::kStop:
      throw Exception(ErrorKind::kUnexpectedStop, "Unexpected stop instruction before end of patch file");
    case Fault::kUnsupported64:
      throw Exception(ErrorKind::kUnsupported64, "64-bit length of file is not supported in this version");
    case Fault::kBeyondSource:
      RaiseBeyondSource(position);
    case Fault::kRange:
      throw ERangeError();
    case Fault::kUnexpectedEnd:
    case Fault::kNone:
      break;
  }
  RaiseUnexpectedEnd();
}

void CheckStreamEnd(std::uint64_t position, std::uint64_t last, std::uint8_t last_byte) {
  if (position != last) RaiseStopCheck();
  if (last_byte != opcode::kStop) RaiseUnexpectedEnd();
}

}  // namespace decode

}  // namespace varnock
