// The one family of errors in Varnock. Every failure is raised as one of these
// and caught once, by the front end, which prints its message.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace varnock {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// A failed OS call; carries the OS's own code (0 when it gave none).
class EOSError : public Exception {
 public:
  EOSError(std::string message, std::uint32_t code) : Exception(std::move(message)), code_(code) {}
  std::uint32_t ErrorCode() const noexcept { return code_; }

 private:
  std::uint32_t code_;
};

class EFCreateError : public Exception {
  using Exception::Exception;
};

class EWriteError : public Exception {
 public:
  EWriteError() : Exception("Stream write error") {}
};

class ERangeError : public Exception {
 public:
  ERangeError() : Exception("Range check error") {}
};

class EOutOfMemory : public Exception {
 public:
  EOutOfMemory() : Exception("Out of memory") {}
};

// The OS's text for `code`, without trailing blanks, control characters and
// full stops; possibly empty.
std::string SystemErrorText(std::uint32_t code);

// Raises EOSError for the OS call that just failed, from the thread's last
// error code. Must be called before any other OS call can change that code.
[[noreturn]] void RaiseLastOSError();

// The same, with a message of its own: `what` failed, then the OS's text.
[[noreturn]] void RaiseLastOSError(const std::string& what);
// As above, for an error code taken earlier.
[[noreturn]] void RaiseOSError(const std::string& what, std::uint32_t code);

}  // namespace varnock
