#include "maker/PendingFile.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>

#include "files/Errors.h"

namespace varnock {
namespace {

// Bytes handed to one OS write; its count is 32-bit.
constexpr std::size_t kLargestWrite = std::size_t{1} << 30;
constexpr int kNameAttempts = 16;

// A hidden name in the destination's directory, so that the rename stays
// within one filesystem.
std::string TemporaryNameBeside(const std::string& destination, std::uint32_t salt) {
  std::filesystem::path path(destination);
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(salt));
  return (path.parent_path() / ("." + path.filename().string() + suffix)).string();
}

bool NameIsTaken(const std::string& name) {
  std::error_code error;
  return std::filesystem::symlink_status(name, error).type() != std::filesystem::file_type::not_found;
}

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

PendingFile::PendingFile(std::string destination) : destination_(std::move(destination)) {
  std::random_device random;
  std::uint32_t code = 0;
  for (int attempt = 0; attempt < kNameAttempts && file_ == platform::kInvalidHandle; ++attempt) {
    temporary_ = TemporaryNameBeside(destination_, random());
    file_ = platform::CreateNewFile(temporary_);
    code = platform::LastErrorCode();
    if (file_ == platform::kInvalidHandle && !NameIsTaken(temporary_)) break;
  }
  if (file_ == platform::kInvalidHandle) {
    RaiseOSError("Cannot create a temporary file beside \"" + destination_ + "\"", code);
  }
  platform::SetRemovedOnSignal(temporary_.c_str());
}

PendingFile::~PendingFile() {
  Close();
  if (committed_) return;
  std::error_code ignored;
  std::filesystem::remove(temporary_, ignored);
  platform::SetRemovedOnSignal(nullptr);
}

void PendingFile::Write(ByteSpan bytes) { WriteWhole(file_, bytes, "Cannot write \"" + destination_ + "\""); }

void PendingFile::Close() {
  if (file_ == platform::kInvalidHandle) return;
  platform::CloseFile(file_, platform::Listing::kUnlisted);
  file_ = platform::kInvalidHandle;
}

void PendingFile::Commit(bool replace) {
  Close();
  if (!platform::RenameFile(temporary_, destination_, replace)) {
    RaiseLastOSError("Cannot put the patch in place as \"" + destination_ + "\"");
  }
  // Only now: a signal in between removes a name that no longer exists.
  committed_ = true;
  platform::SetRemovedOnSignal(nullptr);
}

}  // namespace varnock
