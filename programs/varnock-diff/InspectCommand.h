// varnock-diff --info PATCH [SOURCE]: what a patch holds, in plain words, and
// whether a file is the source it was made for.
#pragma once

#include <string>

#include "programs/varnock-diff/ProgressBar.h"

namespace varnock::diff {

struct InspectVerdict {
  std::string text;         // for standard output
  bool source_fits = true;  // false: the source given is not the patch's
};

// Reads the patch whole (and the source, when named: its length first, then
// its CRC-32 with `bar`'s progress); raises the patch's errors as applying does.
InspectVerdict InspectPatchFile(const std::string& patch_name, const std::string& source_name,
                                ProgressBar& bar);

}  // namespace varnock::diff
