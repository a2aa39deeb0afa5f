#include "platform/win32_names.h"

#include <atomic>

#include "platform/platform.h"

namespace varnock::platform {
namespace {

// Set once, by a program, before it opens anything; the library never sets it.
std::atomic<bool> names_are_utf8{false};

}  // namespace

void UseUtf8FileNames() { names_are_utf8 = true; }

namespace win32 {

std::wstring WideName(const std::string& name) {
  if (name.empty()) return {};
  const UINT code_page = names_are_utf8 ? CP_UTF8 : CP_ACP;
  const int size = static_cast<int>(name.size());
  const int length = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, name.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, name.data(), size, wide.data(), length);
  return wide;
}

HANDLE CreateFileByName(const std::string& name, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  if (!names_are_utf8) return CreateFileA(name.c_str(), access, share, nullptr, disposition, flags, nullptr);
  const std::wstring wide = WideName(name);
  if (wide.empty() && !name.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

}  // namespace win32
}  // namespace varnock::platform
