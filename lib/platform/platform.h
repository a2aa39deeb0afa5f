// The operating system as Varnock needs it: a handful of calls shaped like the
// Win32 ones the program was designed around, with one implementation per OS.
// Failures are reported as the OS reports them (an invalid handle, a null view,
// false) with the code left for LastErrorCode(); the layers above turn them
// into exceptions. No OS header is included here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace varnock::platform {

using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;
inline constexpr Handle kNoMapping = 0;

// The calling thread's code for the last failed call (errno, GetLastError).
std::uint32_t LastErrorCode();

// The OS's own text for an error code, untrimmed; empty when it has none.
std::string ErrorMessageText(std::uint32_t code);

// Whether the process's own list of its inputs holds a file. The list lets the
// program turn a fault in a shortened input into its error line and keep a
// target off any input; it is process-wide state, which a library must not
// touch: its files are kUnlisted, and a target is kept off the inputs it is
// given instead.
enum class Listing { kListed, kUnlisted };

// Opens an existing file for reading, others may read but not write it, with a
// sequential-read hint. Refuses what cannot be mapped. kInvalidHandle on failure.
Handle OpenInputFile(const std::string& name, Listing listing = Listing::kListed);

// The length of an open input file. Returns false for a failed query and for a
// file of 4 GiB or more, whose length has no 32-bit form.
bool QueryFileSize(Handle file, std::uint32_t* size);

// A read-only mapping of the whole (non-empty) file; kNoMapping on failure.
Handle CreateReadOnlyMapping(Handle file);

// One read-only view of the whole mapping; null on failure.
const std::uint8_t* MapReadOnlyView(Handle file, Handle mapping, std::uint32_t size,
                                    Listing listing = Listing::kListed);

void UnmapView(const std::uint8_t* view, std::uint32_t size, Listing listing = Listing::kListed);
// Hands back the whole pages in [bytes, bytes + size) of a view from
// MapReadOnlyView: they leave the process's resident memory and are read
// again from the file at the next touch. Only for such views: the contents
// of memory of any other kind would be lost. A hint: does nothing where the
// OS offers no such call, and a failure is not reported.
void ReleaseViewPages(const std::uint8_t* bytes, std::size_t size);
void CloseMapping(Handle mapping);
// `listing` is the one the file was opened with; a target is kUnlisted.
void CloseFile(Handle file, Listing listing);

// Reads up to `count` bytes from where the last read ended; fewer only at the
// end of the file. False on failure; *read tells how many arrived.
bool ReadFile(Handle file, void* data, std::uint32_t count, std::uint32_t* read);

// Reads up to `count` bytes from `offset`, leaving where ReadFile goes on
// untouched on POSIX (Windows moves it); fewer only at the end of the file.
// False on failure; *read tells how many arrived.
bool ReadFileAt(Handle file, std::uint64_t offset, void* data, std::uint32_t count, std::uint32_t* read);

// Memory for a large buffer that a call fills whole and reads all over, of
// `size` bytes (more than 0); on Linux in huge pages where the system gives
// them, which spares a page fault for every 4 KiB touched and a page-table
// walk for nearly every read. Null when memory is short.
std::uint8_t* AllocateLargeBuffer(std::size_t size);
// The length to ask of AllocateLargeBuffer for `size` bytes where up to
// `most` (at least `size`) may be taken: `size`, or more where that makes the
// buffer whole huge pages.
std::size_t LargeBufferLength(std::size_t size, std::size_t most);
// Gives back a buffer from AllocateLargeBuffer with its size; null does nothing.
void FreeLargeBuffer(std::uint8_t* buffer, std::size_t size);

// Creates the file, or empties an existing one, for exclusive reading and
// writing. Refuses, leaving the file untouched, when it is one of `inputs`
// or, kListed, an input on the process's list (Windows: open as an input
// anywhere). kInvalidHandle on failure.
Handle CreateTargetFile(const std::string& name, std::span<const Handle> inputs = {},
                        Listing listing = Listing::kListed);

// Writes all `count` bytes or fails; *written tells how many went out.
bool WriteFile(Handle file, const void* data, std::uint32_t count, std::uint32_t* written);

// Writes all `count` bytes at `offset`, over what the file holds there, or
// fails; where the next WriteFile goes afterwards is unspecified.
bool WriteFileAt(Handle file, std::uint64_t offset, const void* data, std::uint32_t count);

// The name resolved against the current directory, whether or not it exists.
std::string FullPathName(const std::string& name);

// What a file is to the OS, whatever name reaches it (another spelling, a
// symbolic or a hard link): two names with equal identities are one file.
struct FileId {
  std::uint64_t device;
  std::uint64_t index;
  bool operator==(const FileId&) const = default;
};
// The identity of the file `name` leads to; nullopt when it leads to none.
std::optional<FileId> IdentifyFile(const std::string& name);

// What a patch name leads to, symbolic links followed. A maker writes a new
// file in place of nothing or of a regular file, a character device or a FIFO
// takes the patch as a stream, and it never writes to or replaces anything
// else. An error other than "no such file" counts as kNothing: creating the
// file will then report it.
enum class PatchPlace {
  kNothing,
  // A regular file, or a symbolic link that leads nowhere (the link is replaced).
  kFile,
  kDirectory,
  // A character device or a FIFO (a pipe), or a link to one.
  kStream,
  // A block device, a socket, or a link to one.
  kUnwritable,
};
PatchPlace FindPatchPlace(const std::string& name);

// Opens an existing kStream place for writing, as a shell's redirection does
// (a FIFO waits for its reader). kInvalidHandle on failure.
Handle OpenStreamForWriting(const std::string& name);

// Brings what was written to `file` to storage (fsync). False on failure.
bool SyncFile(Handle file);

// Closes a file written to; false when the close reports an error (a network
// filesystem may report a failed write only there).
bool CloseWrittenFile(Handle file);

// A new file that takes the destination's name only once it is complete and
// on storage, so that whatever ends the process (an error, any signal, a
// power loss) the destination holds either what it held before or the whole
// new file, and no other file is left behind. POSIX: a file without a name
// (O_TMPFILE) linked in when complete; where the filesystem has no such files,
// a hidden name beside the destination, removed by Close() and the destructor
// (and by RemoveTemporaryFileNow, below), and reached through a descriptor of the directory
// so that the directory renamed meanwhile changes nothing. Windows: a hidden
// name beside the destination, open with delete sharing, flushed
// (FlushFileBuffers) and moved over the destination with write-through
// (MoveFileExW); never named the destination before it is complete, and
// removed by Close(), the destructor and RemoveTemporaryFileNow. A program
// makes one at a time. Neither copied nor moved, as RemoveTemporaryFileNow
// holds its address. Its calls return false on failure, with the code left
// for LastErrorCode().
class TemporaryFile {
 public:
  TemporaryFile() = default;
  // Removes the file unless committed, and closes what is still open.
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  // Creates the file, open for reading and writing, in the directory of
  // `destination`. kListed (a program, not a library) has
  // RemoveTemporaryFileNow remove a hidden name.
  bool Create(const std::string& destination, Listing listing);

  // The open file: to write to, and to map to read back.
  Handle File() const noexcept { return file_; }

  // Syncs the file, gives it the destination's name, then syncs the directory
  // so that the name lasts. With `replace` false an existing destination is
  // refused (the OS's "file exists") and the file stays unnamed. A regular
  // file replaced passes its permission bits on. The file stays open.
  bool Commit(bool replace);

  // Closes the file and the directory; false when a close reported an error.
  // An uncommitted file is removed.
  bool Close();

 private:
  void Discard() noexcept;
  // A program's hidden name goes to the signal handler.
  void WatchForSignals() noexcept;

  Handle file_ = kInvalidHandle;
  // The destination's directory, where the OS reaches files through one.
  Handle directory_ = kInvalidHandle;
  std::string destination_;
  // The destination's last part, reached from `directory_`.
  std::string leaf_;
  // The file's hidden name, beside the destination; empty while it has none.
  std::string temporary_;
  Listing listing_ = Listing::kUnlisted;
  bool committed_ = false;
};

// Removes a program's TemporaryFile's hidden name (POSIX) or marks the file
// for deletion (Windows) at once, for a signal, console event or input fault
// that is about to end the process; safe inside a signal handler. Windows
// also keeps any later Commit() from beginning.
void RemoveTemporaryFileNow() noexcept;

// True when `handle` is a terminal (a console on Windows).
bool IsTerminal(Handle handle);

// Has every name handed to this layer from now on read as UTF-8 and passed to
// the OS's wide entry points (Windows); names are bytes to POSIX anyway. Set
// once by a program before it opens anything; varnock and the library leave
// names in the ANSI code page, as the 8-bit entry points read them.
void UseUtf8FileNames();

// Bytes of address space a process of this build may use: about 2 GiB, or
// 4 GiB for a 32-bit program under 64-bit Windows; no bound worth stating for
// a 64-bit one.
std::uint64_t UsableAddressSpace();

// Where the OS cannot stop another process from shortening an open input, a
// read of its view past the new end is a hardware fault, not an error return.
// Once a handler is set (POSIX: with the bus error's signal action, which is
// process-wide), such a fault, and a target write that meets it, calls it
// with the name the input was opened by, in place of a crash. It runs inside a signal handler and must not
// return: it may only write (without allocating) and then end the process at once (a program's
// ExitProcessAtOnce).
using InputFaultHandler = void (*)(const char* input_name);
void SetInputFaultHandler(InputFaultHandler handler);

// Bytes a writer holds back for `file`: from `begin` to wherever `*end` points
// at the moment of an input fault. They are written out before the fault
// handler runs, so that the target keeps every run finished before the fault.
struct HeldBackOutput {
  Handle file;
  const std::uint8_t* begin;
  std::uint8_t* const* end;
};
// Registers the writer's held-back bytes; null when there are none to keep.
void SetHeldBackOutput(const HeldBackOutput* output);

// Bytes of memory this process can still take without the OS paging out or
// ending a program: the free and reclaimable memory the OS reports, and, where
// the process runs under memory limits (control groups), what the tightest of
// them leaves. nullopt when the OS tells nothing.
std::optional<std::uint64_t> AvailableMemory();

#if !defined(_WIN32)
// The same, read from files laid out under `root` as the OS lays them out
// under / (proc/meminfo, proc/self/cgroup, sys/fs/cgroup/...); for tests.
std::optional<std::uint64_t> AvailableMemoryUnder(const std::string& root);
#endif

}  // namespace varnock::platform
