// Windows only, inside platform/: how the 8-bit names handed to this layer
// reach the OS. No other folder includes it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

namespace varnock::platform::win32 {

// The name in UTF-16, read as UTF-8 once UseUtf8FileNames has run, else in
// the ANSI code page as the 8-bit entry points read it. Empty when it is not
// valid in that encoding, with ERROR_NO_UNICODE_TRANSLATION as the last error.
std::wstring WideName(const std::string& name);

// CreateFile by the 8-bit entry point while names are ANSI, so that varnock
// and the library open exactly what they always opened, else by the wide one.
HANDLE CreateFileByName(const std::string& name, DWORD access, DWORD share, DWORD disposition, DWORD flags);

}  // namespace varnock::platform::win32
