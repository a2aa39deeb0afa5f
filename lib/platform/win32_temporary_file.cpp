// The maker's temporary patch file on Windows: a hidden name beside the
// destination, open with delete sharing so that it can be marked for deletion
// through its own handle, and moved over the destination in one step once it
// is on storage. A program's console events mark it for deletion before the
// process ends (RemoveTemporaryFileNow).
#include <cstdio>
#include <mutex>
#include <random>

#include "platform/platform.h"
#include "platform/win32_names.h"

namespace varnock::platform {
namespace {

constexpr int kNameAttempts = 16;
// The longest name a Windows file system gives a file, in UTF-16 units.
constexpr std::size_t kLongestName = 255;
// What a hidden name adds to its stem: a dot before it, ".%08x.tmp" after.
constexpr std::size_t kHiddenNameExtra = 1 + 13;

HANDLE ToHandle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }

// The one file a console event must not leave behind, guarded by a lock that
// the event's handler takes and keeps: a commit either ends before it, or
// never begins, since the process then ends.
std::mutex watched_lock;
HANDLE watched_file = INVALID_HANDLE_VALUE;

// Deleted when its last handle closes, at the latest as the process ends.
bool MarkForDeletion(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

void Watch(HANDLE file) {
  std::lock_guard lock(watched_lock);
  watched_file = file;
}

// The destination's directory part, with its separator ("" for none).
std::string DirectoryPart(const std::string& destination) {
  const std::size_t separator = destination.find_last_of("\\/:");
  return separator == std::string::npos ? std::string() : destination.substr(0, separator + 1);
}

// The part of the destination's name that its hidden name carries: all of
// it, or as much as leaves room for the rest of a name the file system
// allows, cut between characters. The random suffix keeps names cut alike
// apart.
std::string HiddenStemFor(const std::string& leaf) {
  const std::wstring wide = win32::WideName(leaf);
  std::size_t keep = kLongestName - kHiddenNameExtra;
  if (wide.size() <= keep) return leaf;
  if (IS_HIGH_SURROGATE(wide[keep - 1])) --keep;
  return win32::NarrowName(wide.substr(0, keep));
}

std::string HiddenNameFor(const std::string& stem) {
  static thread_local std::minstd_rand random(std::random_device{}());
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
  return "." + stem + suffix;
}

}  // namespace

void RemoveTemporaryFileNow() noexcept {
  // Kept locked: the process is ending.
  watched_lock.lock();
  if (watched_file != INVALID_HANDLE_VALUE) MarkForDeletion(watched_file);
}

TemporaryFile::~TemporaryFile() { Discard(); }

bool TemporaryFile::Create(const std::string& destination, Listing listing) {
  Discard();
  destination_ = destination;
  listing_ = listing;
  const std::string folder = DirectoryPart(destination);
  leaf_ = destination.substr(folder.size());
  if (leaf_.empty() || leaf_ == "." || leaf_ == "..") {
    SetLastError(ERROR_DIRECTORY);
    return false;
  }
  const std::string stem = HiddenStemFor(leaf_);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = folder + HiddenNameFor(stem);
    const std::wstring wide = win32::WideName(name);
    if (wide.empty()) return false;
    // Delete sharing lets the file be renamed and deleted while it is open.
    HANDLE file =
        CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                    nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      file_ = reinterpret_cast<Handle>(file);
      temporary_ = name;
      if (listing_ == Listing::kListed) Watch(file);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool TemporaryFile::Commit(bool replace) {
  if (!SyncFile(file_)) return false;
  const std::wstring from = win32::WideName(temporary_);
  const std::wstring to = win32::WideName(destination_);
  if (from.empty() || to.empty()) return false;
  // Write-through: the call returns once the new name is on storage too.
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  std::unique_lock lock(watched_lock, std::defer_lock);
  if (listing_ == Listing::kListed) lock.lock();
  if (!MoveFileExW(from.c_str(), to.c_str(), flags)) return false;
  committed_ = true;
  temporary_.clear();
  if (listing_ == Listing::kListed) watched_file = INVALID_HANDLE_VALUE;
  return true;
}

bool TemporaryFile::Close() {
  if (!committed_ && file_ != kInvalidHandle) {
    if (listing_ == Listing::kListed) Watch(INVALID_HANDLE_VALUE);
    // By its handle, whatever became of its name; by the name where the
    // file system cannot.
    if (!MarkForDeletion(ToHandle(file_)) && !temporary_.empty()) {
      CloseHandle(ToHandle(file_));
      file_ = kInvalidHandle;
      DeleteFileW(win32::WideName(temporary_).c_str());
    }
  }
  temporary_.clear();
  bool closed = true;
  if (file_ != kInvalidHandle && !CloseWrittenFile(file_)) closed = false;
  file_ = kInvalidHandle;
  return closed;
}

void TemporaryFile::Discard() noexcept {
  const DWORD code = GetLastError();
  Close();
  committed_ = false;
  SetLastError(code);
}

}  // namespace varnock::platform
