// The maker's temporary patch file on POSIX: a file without a name
// (O_TMPFILE) linked in once complete, or, where the filesystem has none, a
// hidden name beside the destination, reached through a descriptor of its
// directory. A program's termination signals remove a hidden name before
// the process ends (RemoveTemporaryFileNow).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "platform/platform.h"

namespace varnock::platform {
namespace {

// A program's TemporaryFile's hidden name, while it has one.
struct SignalRemoval {
  int directory;
  const char* name;
};
SignalRemoval signal_removal;
std::atomic<const SignalRemoval*> removed_on_signal{nullptr};

constexpr int kNameAttempts = 16;
constexpr std::size_t kLongestName = NAME_MAX;

// A hidden name beside `leaf` that no other file has yet, shortened where
// the destination's name leaves no room for the suffix.
std::string HiddenNameFor(const std::string& leaf) {
  static thread_local std::minstd_rand random(std::random_device{}());
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
  const std::size_t room = kLongestName - 1 - std::strlen(suffix);
  return "." + leaf.substr(0, room) + suffix;
}

// Makes a hidden name for the open file `fd`: opened with O_TMPFILE it has
// none, and linkat gives it one; otherwise it is created under it.
int CreateHidden(int directory, const std::string& leaf, int unnamed, std::string* name) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    *name = HiddenNameFor(leaf);
    if (unnamed < 0) {
      int fd = openat(directory, name->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
      if (fd >= 0 || errno != EEXIST) return fd;
    } else {
      const std::string path = "/proc/self/fd/" + std::to_string(unnamed);
      if (linkat(AT_FDCWD, path.c_str(), directory, name->c_str(), AT_SYMLINK_FOLLOW) == 0) return unnamed;
      if (errno != EEXIST) return -1;
    }
  }
  name->clear();
  return -1;
}

// Links the unnamed file `fd` in as `name`; fails where the name exists.
bool LinkUnnamed(int fd, int directory, const std::string& name) {
  // /proc gives any process the link; AT_EMPTY_PATH needs a capability.
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (linkat(AT_FDCWD, path.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != ENOENT) return false;
  return linkat(fd, "", directory, name.c_str(), AT_EMPTY_PATH) == 0;
}

// Renames within `directory`; with `replace` false an existing `to` is refused.
bool RenameWithin(int directory, const std::string& from, const std::string& to, bool replace) {
  if (replace) return renameat(directory, from.c_str(), directory, to.c_str()) == 0;
#ifndef __EMSCRIPTEN__  // musl has no renameat2: the hard link below does its work
  if (renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
#endif
  // A filesystem without the no-replace rename: a hard link is refused just
  // the same where the name exists.
  if (linkat(directory, from.c_str(), directory, to.c_str(), 0) != 0) return false;
  unlinkat(directory, from.c_str(), 0);
  return true;
}

// The replaced file's permission bits, given to the new one as editors do;
// a destination that became something other than a file is refused.
bool TakeOverPermissions(int file, int directory, const std::string& leaf) {
  struct stat info;
  if (fstatat(directory, leaf.c_str(), &info, 0) != 0) return true;
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    errno = EEXIST;
    return false;
  }
  return fchmod(file, info.st_mode & 07777) == 0;
}

}  // namespace

// Async-signal-safe: one unlinkat(2).
void RemoveTemporaryFileNow() noexcept {
  const SignalRemoval* removal = removed_on_signal.exchange(nullptr);
  if (removal != nullptr) unlinkat(removal->directory, removal->name, 0);
}

TemporaryFile::~TemporaryFile() { Discard(); }

bool TemporaryFile::Create(const std::string& destination, Listing listing) {
  Discard();
  destination_ = destination;
  listing_ = listing;
  const std::size_t slash = destination.rfind('/');
  leaf_ = slash == std::string::npos ? destination : destination.substr(slash + 1);
  if (leaf_.empty() || leaf_ == "." || leaf_ == "..") {
    errno = EISDIR;
    return false;
  }
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : destination.substr(0, slash);
  // Read access lets the directory be synced; a directory one may only write
  // to and search is still used, unsynced.
  int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0 && errno == EACCES) directory = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return false;
  directory_ = directory;
  // An unnamed file meets a name too long only when it is linked in, after
  // the work: the name is measured now.
  const long longest = fpathconf(directory, _PC_NAME_MAX);
  if (longest > 0 && leaf_.size() > static_cast<std::size_t>(longest)) {
    errno = ENAMETOOLONG;
    return false;
  }
  int file = openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  if (file < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  if (file < 0) {
    file = CreateHidden(directory, leaf_, -1, &temporary_);
    if (file < 0) return false;
    file_ = file;
    WatchForSignals();
  }
  file_ = file;
  return true;
}

void TemporaryFile::WatchForSignals() noexcept {
  if (listing_ != Listing::kListed) return;
  signal_removal = {static_cast<int>(directory_), temporary_.c_str()};
  removed_on_signal.store(&signal_removal);
}

bool TemporaryFile::Commit(bool replace) {
  const int file = static_cast<int>(file_);
  const int directory = static_cast<int>(directory_);
  if (!SyncFile(file_)) return false;
  if (replace && !TakeOverPermissions(file, directory, leaf_)) return false;
  if (temporary_.empty() && !replace) {
    if (!LinkUnnamed(file, directory, leaf_)) return false;
  } else {
    // A name cannot be linked over an existing one: a hidden name first, then
    // renamed over it.
    if (temporary_.empty()) {
      if (CreateHidden(directory, leaf_, file, &temporary_) < 0) return false;
      WatchForSignals();
    }
    if (!RenameWithin(directory, temporary_, leaf_, replace)) return false;
  }
  committed_ = true;
  if (listing_ == Listing::kListed) removed_on_signal.store(nullptr);
  temporary_.clear();
  // A directory opened without read access cannot be synced; nor can some
  // filesystems sync one. The file itself is on storage either way.
  while (fsync(directory) != 0) {
    if (errno == EINTR) continue;
    if (errno == EBADF || errno == EINVAL || errno == EROFS) break;
    return false;
  }
  return true;
}

bool TemporaryFile::Close() {
  bool closed = true;
  if (!committed_ && !temporary_.empty()) {
    if (listing_ == Listing::kListed) removed_on_signal.store(nullptr);
    unlinkat(static_cast<int>(directory_), temporary_.c_str(), 0);
    temporary_.clear();
  }
  if (file_ != kInvalidHandle && !CloseWrittenFile(file_)) closed = false;
  if (directory_ != kInvalidHandle && close(static_cast<int>(directory_)) != 0 && errno != EINTR)
    closed = false;
  file_ = kInvalidHandle;
  directory_ = kInvalidHandle;
  return closed;
}

void TemporaryFile::Discard() noexcept {
  const int code = errno;
  Close();
  committed_ = false;
  errno = code;
}
}  // namespace varnock::platform
