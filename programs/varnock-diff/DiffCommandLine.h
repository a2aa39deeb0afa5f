// The command line of varnock-diff, parsed by CLI11.
#pragma once

#include <string>
#include <vector>

#include "internal/Errors.h"
#include "internal/Make.h"

namespace varnock::diff {

struct DiffCommand {
  std::string source_name;
  std::string target_name;
  std::string patch_name;
  PatchFileOptions options;
  bool quiet = false;
  // --info PATCH [SOURCE]: describe the patch (named by patch_name) instead
  // of making one; source_name, when not empty, is the file to judge.
  bool info = false;
  // The help or version text asked for instead of a run; empty for a run.
  std::string text_to_print;
};

// A command line that cannot be run; the message says why.
class EUsageError : public Exception {
  using Exception::Exception;
};

// The program's own name, for its messages and its help.
inline constexpr const char* kProgramName = "varnock-diff";

// Parses the arguments after the program's name; raises EUsageError.
DiffCommand ParseDiffCommandLine(const std::vector<std::string>& arguments);

}  // namespace varnock::diff
