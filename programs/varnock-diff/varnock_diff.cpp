#include <string>
#include <vector>

#include "internal/Platform.h"
#include "programs/common/Arguments.h"
#include "programs/varnock-diff/DiffProgram.h"

int main(int argc, char** argv) {
  // Where the OS keeps the command line in UTF-16 (Windows), names in any
  // script come through whole, as UTF-8, and open by the wide calls.
  if (auto arguments = varnock::platform::Utf8Arguments()) {
    varnock::platform::UseUtf8FileNames();
    varnock::diff::RunDiffProgram(*arguments);
  }
  varnock::diff::RunDiffProgram(std::vector<std::string>(argv + 1, argv + argc));
}
