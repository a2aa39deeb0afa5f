// Errors that only the library raises: the varnock program never meets them.
#pragma once

#include "common/Errors.h"

namespace varnock {

// The host's progress callback asked to stop.
class ECancelled : public Exception {
 public:
  ECancelled() : Exception(ErrorKind::kCancelled, "Cancelled") {}
};

class EBadArgument : public Exception {
 public:
  explicit EBadArgument(const std::string& what)
      : Exception(ErrorKind::kBadArgument, "Bad argument: " + what) {}
};

// The caller's buffer ends before the target does.
class EBufferTooSmall : public Exception {
 public:
  EBufferTooSmall() : Exception(ErrorKind::kBufferTooSmall, "Target buffer too small") {}
};

// A host's read callback failed.
class EReadError : public Exception {
 public:
  EReadError() : Exception(ErrorKind::kReadError, "Stream read error") {}
};

}  // namespace varnock
