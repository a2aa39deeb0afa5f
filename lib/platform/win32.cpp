// The platform on Windows, through the 8-bit kernel32 entry points, or the
// wide ones for a program that reads its names as UTF-8 (win32_names.cpp).
// Share modes keep an input of a run from being truncated as its target, in
// this process and in any other, so nothing needs to be tracked here. The
// maker's temporary patch file is in win32_temporary_file.cpp.
#include <algorithm>
#include <string_view>

#include "platform/platform.h"
#include "platform/win32_names.h"

namespace varnock::platform {
namespace {

HANDLE ToHandle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle FromHandle(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

// FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY
constexpr DWORD kMessageFlags = 0x3200;
constexpr DWORD kMessageBufferSize = 256;
constexpr DWORD kFullPathBufferSize = MAX_PATH;

// Whether the name leads to one of the devices Windows finds in every
// directory (NUL, CON, COM1, LPT1.txt, …), which the OS resolves to the
// device namespace (\\.\NAME), or to a console's own (CONIN$, CONOUT$). A
// name that begins in a namespace itself is left to what opening it finds.
bool NamesADevice(const std::string& name) {
  const std::wstring wide = win32::WideName(name);
  if (wide.empty() || wide.starts_with(L"\\\\") || wide.starts_with(L"//")) return false;
  if (_wcsicmp(wide.c_str(), L"CONIN$") == 0 || _wcsicmp(wide.c_str(), L"CONOUT$") == 0) return true;
  wchar_t full[kFullPathBufferSize];
  const DWORD length = GetFullPathNameW(wide.c_str(), kFullPathBufferSize, full, nullptr);
  return length > 0 && length < kFullPathBufferSize &&
         std::wstring_view(full, length).starts_with(L"\\\\.\\");
}

}  // namespace

std::uint32_t LastErrorCode() { return GetLastError(); }

std::string ErrorMessageText(std::uint32_t code) {
  char buffer[kMessageBufferSize];
  DWORD length = FormatMessageA(kMessageFlags, nullptr, code, 0, buffer, kMessageBufferSize, nullptr);
  return std::string(buffer, length);
}

Handle OpenInputFile(const std::string& name, Listing /*listing*/) {
  return FromHandle(win32::CreateFileByName(name, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                            FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL));
}

bool QueryFileSize(Handle file, std::uint32_t* size) {
  // A returned 0xFFFFFFFF is a valid length; only the error code tells a
  // failure. The open just before has left that code at zero.
  DWORD high = 0;
  DWORD low = GetFileSize(ToHandle(file), &high);
  if (GetLastError() != NO_ERROR) return false;
  if (high != 0) {
    SetLastError(ERROR_FILE_TOO_LARGE);
    return false;
  }
  *size = low;
  return true;
}

Handle CreateReadOnlyMapping(Handle file) {
  return FromHandle(CreateFileMappingA(ToHandle(file), nullptr, PAGE_READONLY | SEC_COMMIT, 0, 0, nullptr));
}

const std::uint8_t* MapReadOnlyView(Handle /*file*/, Handle mapping, std::uint32_t /*size*/,
                                    Listing /*listing*/) {
  return static_cast<const std::uint8_t*>(MapViewOfFile(ToHandle(mapping), FILE_MAP_READ, 0, 0, 0));
}

void UnmapView(const std::uint8_t* view, std::uint32_t /*size*/, Listing /*listing*/) {
  UnmapViewOfFile(view);
}

void ReleaseViewPages(const std::uint8_t* bytes, std::size_t size) {
  // Unlocking pages that were never locked takes them out of the working
  // set (and fails with ERROR_NOT_LOCKED, which is what is expected here).
  const auto page = std::uintptr_t{4096};
  const auto start = reinterpret_cast<std::uintptr_t>(bytes);
  const std::uintptr_t first = (start + page - 1) / page * page;
  const std::uintptr_t last = (start + size) / page * page;
  if (first < last) VirtualUnlock(reinterpret_cast<void*>(first), last - first);
}

void CloseMapping(Handle mapping) { CloseHandle(ToHandle(mapping)); }

void CloseFile(Handle file, Listing /*listing*/) { CloseHandle(ToHandle(file)); }

bool ReadFile(Handle file, void* data, std::uint32_t count, std::uint32_t* read) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    DWORD n = 0;
    if (!::ReadFile(ToHandle(file), bytes + done, count - done, &n, nullptr)) {
      *read = done;
      return false;
    }
    if (n == 0) break;
    done += n;
  }
  *read = done;
  return true;
}

bool ReadFileAt(Handle file, std::uint64_t offset, void* data, std::uint32_t count, std::uint32_t* read) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  std::uint32_t done = 0;
  while (done < count) {
    // On a handle opened for synchronous reads the offset rides in an
    // OVERLAPPED and the call still waits for the bytes.
    const std::uint64_t at = offset + done;
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(at);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD n = 0;
    if (!::ReadFile(ToHandle(file), bytes + done, count - done, &n, &position)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      *read = done;
      return false;
    }
    if (n == 0) break;
    done += n;
  }
  *read = done;
  return true;
}

std::uint8_t* AllocateLargeBuffer(std::size_t size) {
  return static_cast<std::uint8_t*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}

void FreeLargeBuffer(std::uint8_t* buffer, std::size_t /*size*/) {
  if (buffer != nullptr) VirtualFree(buffer, 0, MEM_RELEASE);
}

std::size_t LargeBufferLength(std::size_t size, std::size_t /*most*/) { return size; }

// The share modes of the inputs refuse the target wherever it reaches one,
// in this process or any other, so `inputs` need not be looked at.
Handle CreateTargetFile(const std::string& name, std::span<const Handle> /*inputs*/, Listing /*listing*/) {
  HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kInvalidHandle;
  // A character device (NUL, CON) takes the target as a stream, as it always
  // has; a pipe or a handle of no known kind could never be read back.
  const DWORD type = GetFileType(file);
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_CHAR) {
    CloseHandle(file);
    SetLastError(ERROR_NOT_SUPPORTED);
    return kInvalidHandle;
  }
  return FromHandle(file);
}

bool WriteFile(Handle file, const void* data, std::uint32_t count, std::uint32_t* written) {
  DWORD done = 0;
  BOOL ok = ::WriteFile(ToHandle(file), data, count, &done, nullptr);
  *written = done;
  return ok != FALSE;
}

bool WriteFileAt(Handle file, std::uint64_t offset, const void* data, std::uint32_t count) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD done = 0;
  return ::WriteFile(ToHandle(file), data, count, &done, &at) != FALSE && done == count;
}

std::string FullPathName(const std::string& name) {
  char buffer[kFullPathBufferSize];
  DWORD length = GetFullPathNameA(name.c_str(), kFullPathBufferSize, buffer, nullptr);
  // Zero is a failure; a length that does not fit is the size it would need.
  if (length == 0 || length >= kFullPathBufferSize) return name;
  return std::string(buffer, length);
}

std::optional<FileId> IdentifyFile(const std::string& name) {
  // Directories open only with the backup flag; no access right is needed.
  HANDLE file = win32::CreateFileByName(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info;
  BOOL known = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!known) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber, std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
}

PatchPlace FindPatchPlace(const std::string& name) {
  // A device is a stream whether or not it opens now (a port that is not
  // there, a console that is not this process's): opening it to write says
  // so before any work.
  if (NamesADevice(name)) return PatchPlace::kStream;
  // Opened for no access at all: only what the name leads to is asked.
  HANDLE file = win32::CreateFileByName(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (file == INVALID_HANDLE_VALUE) return PatchPlace::kNothing;
  const DWORD type = GetFileType(file);
  BY_HANDLE_FILE_INFORMATION info;
  const bool directory = type == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info) &&
                         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  CloseHandle(file);
  if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) return PatchPlace::kStream;
  if (type != FILE_TYPE_DISK) return PatchPlace::kUnwritable;
  return directory ? PatchPlace::kDirectory : PatchPlace::kFile;
}

Handle OpenStreamForWriting(const std::string& name) {
  HANDLE file = win32::CreateFileByName(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return kInvalidHandle;
  // What the name led to may have changed since it was looked at.
  const DWORD type = GetFileType(file);
  if (type != FILE_TYPE_CHAR && type != FILE_TYPE_PIPE) {
    CloseHandle(file);
    SetLastError(ERROR_NOT_SUPPORTED);
    return kInvalidHandle;
  }
  return FromHandle(file);
}

bool SyncFile(Handle file) { return FlushFileBuffers(ToHandle(file)) != FALSE; }

bool CloseWrittenFile(Handle file) { return CloseHandle(ToHandle(file)) != FALSE; }

std::uint64_t UsableAddressSpace() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return UINT64_MAX;
  return status.ullTotalVirtual;
}

// A console has a mode; NUL and other character devices have none.
bool IsTerminal(Handle handle) {
  DWORD mode = 0;
  return handle != kInvalidHandle && GetConsoleMode(ToHandle(handle), &mode) != FALSE;
}

// The share modes keep every other process from shortening an open input, so
// no fault of that kind can arise here.
void SetInputFaultHandler(InputFaultHandler /*handler*/) {}
void SetHeldBackOutput(const HeldBackOutput* /*output*/) {}

// Physical memory free for the taking.
std::optional<std::uint64_t> AvailableMemory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return std::nullopt;
  // A 32-bit process cannot hold more than its address space leaves free.
  return std::min<std::uint64_t>(status.ullAvailPhys, status.ullAvailVirtual);
}

}  // namespace varnock::platform
