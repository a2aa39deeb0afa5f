// The program's run: banner, argument count, ApplyPatch, and the one handler
// that turns any error into the error line.
#pragma once

#include "programs/varnock/CommandLine.h"

namespace varnock {

enum ExitCode : int { kExitSuccess = 0, kExitUsage = 1, kExitError = 2 };

// Runs the whole program and ends the process with its exit code. The
// arguments are taken from the OS (ProcessCommandLine) inside the run.
[[noreturn]] void RunProgram(int argc, const char* const* argv);

}  // namespace varnock
