#include "io/InputFile.h"

#include "io/FileContents.h"
#include "io/FileMapping.h"

namespace varnock {

platform::Listing ListingFor(InputAccess access) {
  return access == InputAccess::kMappedWatched ? platform::Listing::kListed : platform::Listing::kUnlisted;
}

std::uint32_t ChecksumOfFile(const std::string& name, InputAccess access, Progress& progress) {
  // Read back a piece at a time: no more memory than the pieces need.
  if (access == InputAccess::kRead) {
    return ChecksumOfFile(name, [&](std::uint64_t done, std::uint64_t total) {
      if (progress.CountsBytes()) progress.Report(Stage::kVerifying, done, total);
    });
  }
  TFileMappingAsByteArray target_reader(name, ListingFor(access));
  return Crc32WithProgress(target_reader.Bytes(), Stage::kVerifying, progress);
}

}  // namespace varnock
