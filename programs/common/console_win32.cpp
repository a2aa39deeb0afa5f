#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "programs/common/Console.h"

namespace varnock::platform {

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
