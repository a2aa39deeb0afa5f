// A patch file written where it will stand, which takes its name only when
// Commit() says it is complete; so the name never holds a partial file, and
// nothing is left behind by a run that fails or is ended.
#pragma once

#include <string>

#include "make/encode/PatchSink.h"
#include "platform/platform.h"

namespace varnock {

// Writes all of `bytes` to `file`, or raises EOSError: `failure`, then the OS's reason.
void WriteWhole(platform::Handle file, ByteSpan bytes, const std::string& failure);

class PendingFile : public PatchSink {
 public:
  // Creates the file, without its name yet, or raises EOSError.
  PendingFile(std::string destination, platform::Listing listing);

  // Appends, or raises EOSError naming the destination.
  void Write(ByteSpan bytes) override;

  // The file as written so far, open for reading too.
  platform::Handle File() const noexcept { return file_.File(); }

  // Brings the file to storage and gives it the destination's name; with
  // `replace` false an existing destination is refused. Raises EOSError.
  void Commit(bool replace);

 private:
  std::string destination_;
  platform::TemporaryFile file_;
};

}  // namespace varnock
