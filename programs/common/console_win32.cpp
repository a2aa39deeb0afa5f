#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "programs/common/Console.h"

namespace varnock::platform {
namespace {

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      RemoveTemporaryFileNow();
      break;
  }
  // The next handler, the system's own, ends the process.
  return FALSE;
}

}  // namespace

void PrepareProcess() {
  // A console program must not stop on a dialog box, such as the one for a
  // drive without a medium; the call then fails with its code instead.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

StandardOutput OpenStandardOutput() {
  HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return {};
  DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN) return {};
  return {reinterpret_cast<Handle>(handle), type == FILE_TYPE_CHAR};
}

void CatchTerminationSignals() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool WriteStandardOutput(Handle handle, const void* data, std::size_t count) {
  DWORD written = 0;
  return ::WriteFile(reinterpret_cast<HANDLE>(handle), data, static_cast<DWORD>(count), &written, nullptr) !=
         FALSE;
}

Handle StandardErrorHandle() {
  HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  return handle == nullptr ? kInvalidHandle : reinterpret_cast<Handle>(handle);
}

std::optional<std::string> CommandLineString() { return std::string(GetCommandLineA()); }

bool IsLeadByte(std::uint8_t byte) { return IsDBCSLeadByte(byte) != FALSE; }

void ExitProcess(int exit_code) { ::ExitProcess(static_cast<UINT>(exit_code)); }

void ExitProcessAtOnce(int exit_code) {
  ::TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exit_code));
  ::ExitProcess(static_cast<UINT>(exit_code));  // not reached: TerminateProcess does not return on itself
}

}  // namespace varnock::platform
