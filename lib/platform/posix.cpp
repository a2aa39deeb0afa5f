// The platform on Linux and other POSIX systems. Windows' share modes do not
// exist here, so their promise (an input of a run cannot be truncated as its
// target) is kept by comparing file identities within this process and by
// advisory locks between processes. Nor can another process be kept from
// shortening an input while it is mapped; the bus error that a read past the
// new end raises is turned into the program's own error line. The maker's
// temporary patch file is in posix_temporary_file.cpp.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace varnock::platform {
namespace {

struct FileIdentity {
  dev_t device;
  ino_t inode;
  Handle file;
  std::string name;
  const std::uint8_t* view = nullptr;
  std::uint32_t view_size = 0;
};

// Every input file this process holds open, so that the target cannot be one,
// and where its view lies, so that a fault in it can be told from a crash.
std::vector<FileIdentity>& OpenInputs() {
  static std::vector<FileIdentity> inputs;
  return inputs;
}

InputFaultHandler input_fault_handler = nullptr;
const HeldBackOutput* held_back_output = nullptr;

// Async-signal-safe: plain write(2) calls, no allocation.
void WriteHeldBackOutput() {
  if (held_back_output == nullptr) return;
  const std::uint8_t* at = held_back_output->begin;
  const std::uint8_t* end = *held_back_output->end;
  while (at < end) {
    ssize_t n = write(static_cast<int>(held_back_output->file), at, static_cast<std::size_t>(end - at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    at += n;
  }
}

// The name of the input whose view holds `address`, or null. Allocates
// nothing and changes nothing: it runs inside the bus-error handler.
const char* InputViewHolding(const void* address) {
  const auto byte = reinterpret_cast<std::uintptr_t>(address);
  for (const FileIdentity& input : OpenInputs()) {
    const auto start = reinterpret_cast<std::uintptr_t>(input.view);
    if (input.view != nullptr && byte >= start && byte - start < input.view_size) return input.name.c_str();
  }
  return nullptr;
}

void ReportInputFault(const void* address) {
  const char* name = InputViewHolding(address);
  if (name == nullptr || input_fault_handler == nullptr) return;
  WriteHeldBackOutput();
  RemoveTemporaryFileNow();
  input_fault_handler(name);
}

void OnBusError(int signal_number, siginfo_t* info, void* /*context*/) {
  // Only the kernel reports a faulting access (a positive si_code); a bus
  // error sent by a process (SI_USER, SI_QUEUE, SI_TKILL) has no address
  // behind it, and its si_addr is not one.
  if (info->si_code > 0) ReportInputFault(info->si_addr);
  // Anything else ends the process as the default action would have: the
  // signal is sent again, to arrive once this handler has returned.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigaction(signal_number, &action, nullptr);
  raise(signal_number);
}

bool IsOpenAsInput(const struct stat& info) {
  const auto& inputs = OpenInputs();
  return std::any_of(inputs.begin(), inputs.end(), [&](const FileIdentity& input) {
    return input.device == info.st_dev && input.inode == info.st_ino;
  });
}

// Whether the file described by `info` is one of `files`.
bool IsOneOf(const struct stat& info, std::span<const Handle> files) {
  return std::any_of(files.begin(), files.end(), [&](Handle file) {
    struct stat other;
    return fstat(static_cast<int>(file), &other) == 0 && other.st_dev == info.st_dev &&
           other.st_ino == info.st_ino;
  });
}

// Closes `fd` and fails with `code`, keeping errno for the caller to read.
Handle Refuse(int fd, int code) {
  close(fd);
  errno = code;
  return kInvalidHandle;
}

// Only a regular file can be mapped whole, as an input or as the target read
// back; anything else is refused up front so that a FIFO or a device never
// blocks, half-works or is written to. A file that reports no length yet
// yields bytes (/proc, /sys) is no more mappable; the one byte read to tell it
// from an empty file is the only access made.
int UnmappableKindCode(int fd, const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return EISDIR;
  if (!S_ISREG(info.st_mode)) return ENODEV;
  if (info.st_size > 0) return 0;
  char byte;
  ssize_t n;
  do {
    n = pread(fd, &byte, 1, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  return n > 0 ? ENODEV : 0;
}

// A character device takes the target as a stream, as it always has: scripts
// and tests name /dev/null to discard it and /dev/full to see a write fail.
// Every other kind is refused as an input is: a block device would be
// written over, a FIFO or a socket could never be read back.
int UnwritableKindCode(int fd, const struct stat& info) {
  return S_ISCHR(info.st_mode) ? 0 : UnmappableKindCode(fd, info);
}

// Another instance holding the file under a conflicting lock makes it busy,
// as a sharing violation would. Filesystems without flock support are let be.
bool LockIsRefused(int fd, int operation) {
  while (flock(fd, operation | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    return errno == EWOULDBLOCK;
  }
  return false;
}

// Another process holding the file in a way a share mode would refuse, found
// by a probe lease given back at once: a read lease is denied while anyone
// has the file open for writing, a write lease while anyone has it open at
// all. Where no lease is allowed (another owner's file without CAP_LEASE, a
// filesystem without leases) nothing is learnt and the file is let be.
//
// Another process that opens the file while the probe lease is held breaks
// it, and the kernel signals the holder: SIGIO by default, which ends a
// process that has not ignored it, as a library's host need not have.
// SIGURG, whose default action is to ignore it, is asked for instead.
bool LeaseIsRefused(int fd, int lease) {
  fcntl(fd, F_SETSIG, SIGURG);
  if (fcntl(fd, F_SETLEASE, lease) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
  }
  return errno == EAGAIN;
}

// An absolute path without "." and ".." parts or repeated separators.
std::string LexicallyNormal(const std::string& absolute) {
  std::vector<std::string_view> kept;
  for (std::string_view rest = absolute; !rest.empty();) {
    std::size_t end = std::min(rest.find('/'), rest.size());
    std::string_view part = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
    } else if (!part.empty() && part != ".") {
      kept.push_back(part);
    }
  }
  std::string normal;
  for (std::string_view part : kept) normal.append("/").append(part);
  // A name that ends in a directory (a separator, "." or "..") keeps a separator.
  std::string_view last = std::string_view(absolute).substr(absolute.rfind('/') + 1);
  if (normal.empty() || last.empty() || last == "." || last == "..") normal.push_back('/');
  return normal;
}

}  // namespace

std::uint32_t LastErrorCode() { return static_cast<std::uint32_t>(errno); }

std::string ErrorMessageText(std::uint32_t code) {
#ifdef __EMSCRIPTEN__
  // Emscripten's C library (musl) has no strerrordesc_np; its strerror is
  // the same text and never NULL.
  return strerror(static_cast<int>(code));
#else
  const char* text = strerrordesc_np(static_cast<int>(code));
  return text ? text : "";
#endif
}

Handle OpenInputFile(const std::string& name, Listing listing) {
  int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return kInvalidHandle;
  struct stat info;
  if (fstat(fd, &info) != 0) return Refuse(fd, errno);
  if (int code = UnmappableKindCode(fd, info)) return Refuse(fd, code);
  if (LockIsRefused(fd, LOCK_SH) || LeaseIsRefused(fd, F_RDLCK)) return Refuse(fd, EBUSY);
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  if (listing == Listing::kListed) OpenInputs().push_back({info.st_dev, info.st_ino, fd, name});
  return fd;
}

bool QueryFileSize(Handle file, std::uint32_t* size) {
  struct stat info;
  if (fstat(static_cast<int>(file), &info) != 0) return false;
  if (static_cast<std::uint64_t>(info.st_size) > UINT32_MAX) {
    errno = EFBIG;
    return false;
  }
  *size = static_cast<std::uint32_t>(info.st_size);
  return true;
}

Handle CreateReadOnlyMapping(Handle /*file*/) {
  // mmap maps the descriptor itself; there is no mapping object to create.
  // A non-zero token keeps the callers' release steps the same on every OS.
  return 1;
}

const std::uint8_t* MapReadOnlyView(Handle file, Handle /*mapping*/, std::uint32_t size, Listing listing) {
  void* view = mmap(nullptr, size, PROT_READ, MAP_SHARED, static_cast<int>(file), 0);
  if (view == MAP_FAILED) return nullptr;
  if (listing == Listing::kUnlisted) return static_cast<const std::uint8_t*>(view);
  for (FileIdentity& input : OpenInputs()) {
    if (input.file != file) continue;
    input.view = static_cast<const std::uint8_t*>(view);
    input.view_size = size;
  }
  return static_cast<const std::uint8_t*>(view);
}

void ReleaseViewPages(const std::uint8_t* bytes, std::size_t size) {
#ifdef MADV_DONTNEED
  // Inward to whole pages: a page partly outside the range may still be in use.
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(bytes);
  const std::uintptr_t first = (start + page - 1) / page * page;
  const std::uintptr_t last = (start + size) / page * page;
  // A shared read-only file mapping loses nothing to MADV_DONTNEED: its pages
  // come back from the file.
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
#else
  (void)bytes;
  (void)size;
#endif
}

void UnmapView(const std::uint8_t* view, std::uint32_t size, Listing listing) {
  if (listing == Listing::kListed) {
    for (FileIdentity& input : OpenInputs()) {
      if (input.view == view) input.view = nullptr;
    }
  }
  munmap(const_cast<std::uint8_t*>(view), size);
}

void CloseMapping(Handle /*mapping*/) {}

void CloseFile(Handle file, Listing listing) {
  if (listing == Listing::kListed) {
    std::erase_if(OpenInputs(), [&](const FileIdentity& input) { return input.file == file; });
  }
  close(static_cast<int>(file));
}

namespace {

// Reads until `count` bytes arrived or the file ended, going on after an
// interrupted call; `read_some(into, wanted, done)` is one read() or pread().
template <typename ReadSome>
bool ReadUntilEnd(void* data, std::uint32_t count, std::uint32_t* read, ReadSome&& read_some) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    ssize_t n = read_some(bytes + done, count - done, done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *read = done;
      return false;
    }
    if (n == 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  *read = done;
  return true;
}

}  // namespace

bool ReadFile(Handle file, void* data, std::uint32_t count, std::uint32_t* read) {
  return ReadUntilEnd(data, count, read, [&](std::uint8_t* into, std::uint32_t wanted, std::uint32_t) {
    return ::read(static_cast<int>(file), into, wanted);
  });
}

bool ReadFileAt(Handle file, std::uint64_t offset, void* data, std::uint32_t count, std::uint32_t* read) {
  return ReadUntilEnd(data, count, read, [&](std::uint8_t* into, std::uint32_t wanted, std::uint32_t done) {
    return ::pread(static_cast<int>(file), into, wanted, static_cast<off_t>(offset + done));
  });
}

#if defined(__linux__)
namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

std::uint8_t* AllocateLargeBuffer(std::size_t size) {
  // In huge pages where the system gives them: a block cache is read at
  // random offsets all over, and with 4 KiB pages nearly every copy from it
  // waited for a page-table walk. The mapping starts on a huge page boundary
  // so that all of it but a tail shorter than one can be made of them. Where
  // the kernel compacts memory on demand for a huge page, a fault may wait for
  // that; a cache asks for few (32 at most by default), and none waited in the
  // benchmarks (bench/README.md).
  const std::size_t reserved = size >= kHugePage && size <= SIZE_MAX - kHugePage ? size + kHugePage : size;
  void* mapped = mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  auto* const start = static_cast<std::uint8_t*>(mapped);
  const std::size_t lead = (kHugePage - reinterpret_cast<std::uintptr_t>(start) % kHugePage) % kHugePage;
  std::uint8_t* const buffer = reserved == size ? start : start + lead;
  if (buffer != start) munmap(start, lead);
  const std::size_t tail = reserved - static_cast<std::size_t>(buffer - start) - size;
  if (tail > 0) munmap(buffer + size, tail);
  // A huge page is made at the first touch of its bytes, which a read fills
  // next while the processor still holds them. Small pages are all made at
  // once, in one call, rather than by a fault at the first touch of each.
  // Hints both: a kernel that knows neither, or has no memory to spare,
  // leaves every page to be made at its first touch.
  if (madvise(buffer, size, MADV_HUGEPAGE) != 0) {
#if defined(MADV_POPULATE_WRITE)
    madvise(buffer, size, MADV_POPULATE_WRITE);
#endif
  }
  return buffer;
}

std::size_t LargeBufferLength(std::size_t size, std::size_t most) {
  const std::size_t whole = (size + kHugePage - 1) / kHugePage * kHugePage;
  return whole >= size && whole <= most ? whole : size;
}

void FreeLargeBuffer(std::uint8_t* buffer, std::size_t size) {
  if (buffer != nullptr) munmap(buffer, size);
}
#else
std::uint8_t* AllocateLargeBuffer(std::size_t size) { return new (std::nothrow) std::uint8_t[size]; }

std::size_t LargeBufferLength(std::size_t size, std::size_t /*most*/) { return size; }

void FreeLargeBuffer(std::uint8_t* buffer, std::size_t /*size*/) { delete[] buffer; }
#endif

Handle CreateTargetFile(const std::string& name, std::span<const Handle> inputs, Listing listing) {
  // Opened without truncation: the file is emptied only once it is known to
  // be of a kind it may be, not an input of this run, not locked by another
  // instance and not open in another process. Opening for reading too keeps
  // a FIFO from refusing or blocking before it can be looked at.
  int fd = open(name.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return kInvalidHandle;
  struct stat info;
  if (fstat(fd, &info) != 0) return Refuse(fd, errno);
  if (int code = UnwritableKindCode(fd, info)) return Refuse(fd, code);
  if (listing == Listing::kListed && IsOpenAsInput(info)) return Refuse(fd, EBUSY);
  if (IsOneOf(info, inputs)) return Refuse(fd, EBUSY);
  if (LockIsRefused(fd, LOCK_EX) || LeaseIsRefused(fd, F_WRLCK)) return Refuse(fd, EBUSY);
  // An empty file is left alone: on ext4 truncating it, even to the length it
  // has, makes the close after the writes wait for them to reach the disk.
  if (info.st_size > 0 && ftruncate(fd, 0) != 0) return Refuse(fd, errno);
  return fd;
}

bool WriteFile(Handle file, const void* data, std::uint32_t count, std::uint32_t* written) {
  // Linux moves at most about 2 GiB per write(), so a long run takes several.
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    ssize_t n = write(static_cast<int>(file), bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    // The kernel met the same shortened input that a read would fault on.
    if (n < 0 && errno == EFAULT) ReportInputFault(bytes + done);
    if (n <= 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  *written = done;
  return done == count;
}

bool WriteFileAt(Handle file, std::uint64_t offset, const void* data, std::uint32_t count) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    ssize_t n = pwrite(static_cast<int>(file), bytes + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::uint32_t>(n);
  }
  return true;
}

std::string FullPathName(const std::string& name) {
  // What std::filesystem's absolute() and lexically_normal() give, without
  // their part of the C++ runtime (iostreams, locales), which made up most of
  // the program and of its start-up. The root alone is left as it was
  // written ("//" stays), as they leave it.
  if (name.find_first_not_of('/') == std::string::npos) return name;
  if (name.front() == '/') return LexicallyNormal(name);
  std::unique_ptr<char, decltype(&std::free)> directory(getcwd(nullptr, 0), &std::free);
  if (directory == nullptr) return name;
  return LexicallyNormal(std::string(directory.get()) + "/" + name);
}

std::optional<FileId> IdentifyFile(const std::string& name) {
  struct stat info;
  if (stat(name.c_str(), &info) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

PatchPlace FindPatchPlace(const std::string& name) {
  struct stat info;
  if (stat(name.c_str(), &info) != 0) {
    if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) return PatchPlace::kNothing;
    return lstat(name.c_str(), &info) == 0 ? PatchPlace::kFile : PatchPlace::kNothing;
  }
  if (S_ISREG(info.st_mode)) return PatchPlace::kFile;
  if (S_ISDIR(info.st_mode)) return PatchPlace::kDirectory;
  if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)) return PatchPlace::kStream;
  return PatchPlace::kUnwritable;
}

Handle OpenStreamForWriting(const std::string& name) {
  int fd;
  do {
    fd = open(name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return kInvalidHandle;
  // What the name led to may have changed since it was looked at.
  struct stat info;
  if (fstat(fd, &info) != 0) return Refuse(fd, errno);
  if (!S_ISCHR(info.st_mode) && !S_ISFIFO(info.st_mode)) return Refuse(fd, ENODEV);
  return fd;
}

bool SyncFile(Handle file) {
  while (fsync(static_cast<int>(file)) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool CloseWrittenFile(Handle file) {
  // Linux has released the descriptor even when close() reports EINTR.
  return close(static_cast<int>(file)) == 0 || errno == EINTR;
}

bool IsTerminal(Handle handle) { return handle != kInvalidHandle && isatty(static_cast<int>(handle)) == 1; }

void SetInputFaultHandler(InputFaultHandler handler) {
  input_fault_handler = handler;
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

void SetHeldBackOutput(const HeldBackOutput* output) { held_back_output = output; }

void UseUtf8FileNames() {}

std::uint64_t UsableAddressSpace() {
  // A 32-bit Linux process has 3 GiB; no 32-bit build is made here.
  return sizeof(void*) == 4 ? std::uint64_t{3} << 30 : UINT64_MAX;
}

}  // namespace varnock::platform
