// The process as both programs meet it: their standard streams, the command
// line as the OS hands it over, and their exit. The library never calls these;
// the process's set-up, which shares state with the library's input files,
// stays in the platform (internal/Platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "internal/Platform.h"

namespace varnock::platform {

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
