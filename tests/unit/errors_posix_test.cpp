// Guards against OS error messages with the wrong code, sign or layout, or
// with the OS's text cut short or left with its trailing line end.
#include <gtest/gtest.h>

#include <cerrno>

#include "common/Errors.h"
#include "support/ErrorMatch.h"

namespace varnock {
namespace {

using testing::RaisesError;

TEST(SystemErrorText, IsTheSystemsTextForACode) {
  EXPECT_EQ(SystemErrorText(ENOENT), "No such file or directory");
  EXPECT_EQ(SystemErrorText(EISDIR), "Is a directory");
  EXPECT_EQ(SystemErrorText(100000), "");
}

// The last error code as the OS left it, read by RaiseLastOSError.
void RaiseWithLastError(int code) {
  errno = code;
  RaiseLastOSError();
}

TEST(RaiseLastOSError, MessageCarriesCodeAndText) {
  const std::pair<int, std::string> cases[] = {
      {ENOENT, "System Error.  Code: " + std::to_string(ENOENT) + ".\r\nNo such file or directory"},
      // A code without a text: the message ends with the line break.
      {100000, "System Error.  Code: 100000.\r\n"},
      // Codes are shown as signed 32-bit numbers.
      {-5, "System Error.  Code: -5.\r\n"},
      {0, "A call to an OS function failed"},
  };
  for (const auto& [code, message] : cases) {
    const int last_error = code;
    EXPECT_TRUE(RaisesError<EOSError>([&] { RaiseWithLastError(last_error); }, message));
    try {
      RaiseWithLastError(code);
    } catch (const EOSError& error) {
      EXPECT_EQ(error.ErrorCode(), static_cast<std::uint32_t>(code));
    }
  }
}

}  // namespace
}  // namespace varnock
