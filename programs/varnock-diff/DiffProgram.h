// The run of varnock-diff: the command line, MakePatchFile with its progress
// bar, and the one handler that turns any error into a message and an exit
// status (0 success, 1 usage, 2 error).
#pragma once

#include <string>
#include <vector>

namespace varnock::diff {

// Runs the whole program on the arguments after its name and ends the process.
[[noreturn]] void RunDiffProgram(const std::vector<std::string>& arguments);

}  // namespace varnock::diff
