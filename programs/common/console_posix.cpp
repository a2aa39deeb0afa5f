#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "programs/common/Console.h"

namespace varnock::platform {

bool WriteStandardOutput(Handle handle, const void* data, std::size_t count) {
  ssize_t n;
  do {
    n = write(static_cast<int>(handle), data, count);
  } while (n < 0 && errno == EINTR);
  return n >= 0;
}

Handle StandardErrorHandle() { return STDERR_FILENO; }

std::optional<std::string> CommandLineString() { return std::nullopt; }

bool IsLeadByte(std::uint8_t /*byte*/) { return false; }

void ExitProcess(int exit_code) { std::exit(exit_code); }

void ExitProcessAtOnce(int exit_code) { _exit(exit_code); }

}  // namespace varnock::platform
