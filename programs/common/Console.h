// The process as both programs meet it: its set-up, their standard streams,
// the command line as the OS hands it over, termination signals and their
// exit. The library never calls these: they change what is the whole
// process's, which a library must leave to its host. What they share with the
// library's files (its input-fault handler, its temporary file) they reach
// through the platform's calls (internal/Platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "internal/Platform.h"

namespace varnock::platform {

// Sets up process-wide signal and error-mode behaviour before anything runs.
void PrepareProcess();

// Standard output, or kInvalidHandle when there is no usable one.
struct StandardOutput {
  Handle handle = kInvalidHandle;
  bool is_character_device = false;
};
StandardOutput OpenStandardOutput();

// Makes interrupt, termination and hang-up remove a TemporaryFile's hidden
// name (RemoveTemporaryFileNow), then end the process as they would have.
// Signals ignored on entry stay ignored. Windows: Ctrl+C, Ctrl+Break and
// closing the console (SetConsoleCtrlHandler).
void CatchTerminationSignals();

// One write to standard output; false when it failed.
bool WriteStandardOutput(Handle handle, const void* data, std::size_t count);

// Standard error, for messages; its writes go through WriteStandardOutput.
Handle StandardErrorHandle();

// The command line as one string where the OS hands it over that way
// (Windows); nullopt where it arrives already split (POSIX).
std::optional<std::string> CommandLineString();

// True when `byte` opens a two-byte character in the OS's multi-byte code page.
bool IsLeadByte(std::uint8_t byte);

[[noreturn]] void ExitProcess(int exit_code);

// Ends the process with `exit_code` at once, running no exit handlers; safe
// inside an InputFaultHandler.
[[noreturn]] void ExitProcessAtOnce(int exit_code);

}  // namespace varnock::platform
