#include "make/PendingFile.h"

#include <algorithm>

#include "common/Errors.h"

namespace varnock {
namespace {

// Bytes handed to one OS write; its count is 32-bit.
constexpr std::size_t kLargestWrite = std::size_t{1} << 30;

}  // namespace

void WriteWhole(platform::Handle file, ByteSpan bytes, const std::string& failure) {
  while (!bytes.empty()) {
    std::size_t count = std::min(bytes.size(), kLargestWrite);
    std::uint32_t written = 0;
    if (!platform::WriteFile(file, bytes.data(), static_cast<std::uint32_t>(count), &written)) {
      RaiseLastOSError(failure);
    }
    bytes = bytes.subspan(count);
  }
}

PendingFile::PendingFile(std::string destination, platform::Listing listing)
    : destination_(std::move(destination)) {
  if (!file_.Create(destination_, listing))
    RaiseLastOSError("Cannot create the patch \"" + destination_ + "\"");
}

void PendingFile::Write(ByteSpan bytes) {
  WriteWhole(file_.File(), bytes, "Cannot write \"" + destination_ + "\"");
}

void PendingFile::Commit(bool replace) {
  if (!file_.Commit(replace)) RaiseLastOSError("Cannot put the patch in place as \"" + destination_ + "\"");
  if (!file_.Close()) RaiseLastOSError("Cannot close the patch \"" + destination_ + "\"");
}

}  // namespace varnock
