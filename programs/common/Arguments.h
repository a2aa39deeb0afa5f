// A program's command-line arguments, as the programs alone need them: on
// Windows the call needs shell32.dll, which the library must not load.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace varnock::platform {

// The arguments after the program's name, in UTF-8, from the command line as
// the OS keeps it in UTF-16 (Windows); nullopt where arguments come as bytes
// (POSIX) or the command line cannot be read.
std::optional<std::vector<std::string>> Utf8Arguments();

}  // namespace varnock::platform
