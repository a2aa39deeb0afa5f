#include "common/Errors.h"

#include "platform/platform.h"

namespace varnock {

std::string SystemErrorText(std::uint32_t code) {
  std::string text = platform::ErrorMessageText(code);
  while (!text.empty()) {
    unsigned char last = static_cast<unsigned char>(text.back());
    if (last > ' ' && last != '.') break;
    text.pop_back();
  }
  return text;
}

void RaiseLastOSError() {
  std::uint32_t code = platform::LastErrorCode();
  if (code == 0) throw EOSError("A call to an OS function failed", 0);
  throw EOSError("System Error.  Code: " + std::to_string(static_cast<std::int32_t>(code)) + ".\r\n" +
                     SystemErrorText(code),
                 code);
}

void RaiseLastOSError(const std::string& what) { RaiseOSError(what, platform::LastErrorCode()); }

void RaiseOSError(const std::string& what, std::uint32_t code) {
  std::string reason = code == 0 ? std::string() : SystemErrorText(code);
  throw EOSError(reason.empty() ? what : what + ": " + reason, code);
}

}  // namespace varnock
