// The one family of errors in Varnock. Every failure is raised as one of these
// and caught once, by the front end, which prints its message.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace varnock {

// What went wrong, for a caller that must tell failures apart without reading
// their messages. The numbers are the library's public error codes and never
// change.
enum class ErrorKind : std::int32_t {
  kOther = 1,
  kSourceChecksum,
  kTargetChecksum,
  kNoHeader,
  kHeaderCorrupted,
  kNotAPatch,
  kUnsupportedVersion,
  kUnexpectedEnd,
  kUnexpectedStop,
  kUnsupported64,
  kBeyondSource,
  kStopCheck,
  kRange,
  kOSError,
  kCannotCreate,
  kWriteError,
  kOutOfMemory,
  kCancelled,
  kBadArgument,
  kInputShortened,
  kTooLarge,
  kBufferTooSmall,
  kPatchExists,
  kReadError,
  kContainerDamaged,
  kContainerVersion,
  kXzDamaged,
  kZstdDamaged,
};

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : Exception(ErrorKind::kOther, std::move(message)) {}
  Exception(ErrorKind kind, std::string message) : message_(std::move(message)), kind_(kind) {}
  const std::string& Message() const noexcept { return message_; }
  ErrorKind Kind() const noexcept { return kind_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
  ErrorKind kind_;
};

// A failed OS call; carries the OS's own code (0 when it gave none).
class EOSError : public Exception {
 public:
  EOSError(std::string message, std::uint32_t code)
      : Exception(ErrorKind::kOSError, std::move(message)), code_(code) {}
  std::uint32_t ErrorCode() const noexcept { return code_; }

 private:
  std::uint32_t code_;
};

class EFCreateError : public Exception {
 public:
  explicit EFCreateError(std::string message) : Exception(ErrorKind::kCannotCreate, std::move(message)) {}
};

class EWriteError : public Exception {
 public:
  EWriteError() : Exception(ErrorKind::kWriteError, "Stream write error") {}
};

class ERangeError : public Exception {
 public:
  ERangeError() : Exception(ErrorKind::kRange, "Range check error") {}
};

// Also printed, as it is, where memory has run out (std::bad_alloc).
inline constexpr const char* kOutOfMemoryMessage = "Out of memory";

class EOutOfMemory : public Exception {
 public:
  EOutOfMemory() : Exception(ErrorKind::kOutOfMemory, kOutOfMemoryMessage) {}
};

// An input that another program shortened while it was being read.
class EInputShortened : public Exception {
 public:
  explicit EInputShortened(const std::string& file_name)
      : Exception(ErrorKind::kInputShortened,
                  "Input file \"" + file_name + "\" was shortened while it was being read") {}
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
