// Where the maker's patch goes: a file, a verifier, a host's callback.
#pragma once

#include "format/PatchFormat.h"

namespace varnock {

// Receives the patch front to back, in pieces.
class PatchSink {
 public:
  virtual ~PatchSink() = default;
  virtual void Write(ByteSpan bytes) = 0;
};

}  // namespace varnock
