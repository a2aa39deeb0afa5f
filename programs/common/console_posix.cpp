#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "programs/common/Console.h"

namespace varnock::platform {
namespace {

// Standard output as the process found it: a descriptor that was closed then
// is later refilled with /dev/null and must still count as closed.
bool standard_output_usable = true;

// Keeps descriptors 0 to 2 taken, so that no input or target opened later can
// land on one of them and be mistaken for standard output.
void OccupyStandardDescriptors() {
  struct stat info;
  standard_output_usable = fstat(STDOUT_FILENO, &info) == 0;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    int placeholder = open("/dev/null", O_RDWR | O_NOCTTY);
    if (placeholder >= 0 && placeholder != fd) close(placeholder);
  }
}

// Installed with SA_RESETHAND: the signal raised again here is held until the
// handler returns, then ends the process by its default action.
void OnTerminationSignal(int signal_number) {
  RemoveTemporaryFileNow();
  raise(signal_number);
}

}  // namespace

void PrepareProcess() {
  // A reader that went away must not end the run, and a file-size limit must
  // surface as a failed write, not kill the process.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // A probe lease broken in the moment it is held must not end the run.
  signal(SIGIO, SIG_IGN);
  OccupyStandardDescriptors();
}

StandardOutput OpenStandardOutput() {
  struct stat info;
  if (!standard_output_usable || fstat(STDOUT_FILENO, &info) != 0) return {};
  return {STDOUT_FILENO, S_ISCHR(info.st_mode)};
}

void CatchTerminationSignals() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = OnTerminationSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

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
