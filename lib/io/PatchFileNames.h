// The three files a patch joins: the source, the target and the patch, by
// the names the caller gave; applying and making both take them.
#pragma once

#include <string>

namespace varnock {

struct PatchFileNames {
  std::string source;
  std::string target;
  std::string patch;
};

}  // namespace varnock
