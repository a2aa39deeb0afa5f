#include "lib/InputFile.h"

namespace varnock {

platform::Listing ListingFor(InputAccess access) {
  return access == InputAccess::kMappedWatched ? platform::Listing::kListed : platform::Listing::kUnlisted;
}

InputFile::InputFile(const std::string& name, InputAccess access) {
  if (access == InputAccess::kRead) {
    contents_.emplace(name);
  } else {
    mapping_.emplace(name, ListingFor(access));
  }
}

ByteSpan InputFile::Bytes() const noexcept { return mapping_ ? mapping_->Bytes() : contents_->Bytes(); }

platform::Handle InputFile::FileHandle() const noexcept {
  return mapping_ ? mapping_->FileHandle() : contents_->FileHandle();
}

std::uint32_t ChecksumOfFile(const std::string& name, InputAccess access, Progress& progress) {
  // Read back a piece at a time: no more memory than the pieces need.
  if (access == InputAccess::kRead) {
    return ChecksumOfFile(name, [&](std::uint64_t done, std::uint64_t total) {
      if (progress.CountsBytes()) progress.Report(Stage::kVerifying, done, total);
    });
  }
  InputFile target_reader(name, access);
  return Crc32WithProgress(target_reader.Bytes(), Stage::kVerifying, progress);
}

}  // namespace varnock
