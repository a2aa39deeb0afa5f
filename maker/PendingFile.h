// A file written under a temporary name beside its destination, which takes
// the destination's name only when Commit() says it is complete; so the
// destination never holds a partial file. Until then the temporary file is
// removed when the object dies, and when a signal ends the process.
#pragma once

#include <string>

#include "maker/Maker.h"
#include "platform/platform.h"

namespace varnock {

// Writes all of `bytes` to `file`, or raises EOSError: `failure`, then the OS's reason.
void WriteWhole(platform::Handle file, ByteSpan bytes, const std::string& failure);

class PendingFile : public PatchSink {
 public:
  // Creates the temporary file or raises EOSError.
  explicit PendingFile(std::string destination);
  ~PendingFile() override;

  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Appends, or raises EOSError naming the destination.
  void Write(ByteSpan bytes) override;

  // Closes the file, which keeps its temporary name, to be read back.
  void Close();
  const std::string& TemporaryName() const noexcept { return temporary_; }

  // Closes the file and gives it the destination's name; with `replace` false
  // an existing destination is refused (EOSError) and the file removed.
  void Commit(bool replace);

 private:
  std::string destination_;
  std::string temporary_;
  platform::Handle file_ = platform::kInvalidHandle;
  bool committed_ = false;
};

}  // namespace varnock
