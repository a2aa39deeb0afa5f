// The program's arguments on Windows, from the UTF-16 command line. Apart from
// the rest of the platform so that only a program that asks for them links
// shell32.dll: not varnock.exe, not libvarnock.dll.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// shellapi.h needs what windows.h declares.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "programs/common/Arguments.h"

namespace varnock::platform {

std::optional<std::vector<std::string>> Utf8Arguments() {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return std::nullopt;
  std::vector<std::string> utf8;
  for (int i = 1; i < count; ++i) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, arguments[i], -1, nullptr, 0, nullptr, nullptr);
    std::string argument(static_cast<std::size_t>(length > 0 ? length : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, arguments[i], -1, argument.data(), length, nullptr, nullptr);
    argument.resize(argument.size() - 1);
    utf8.push_back(std::move(argument));
  }
  LocalFree(arguments);
  return utf8;
}

}  // namespace varnock::platform
