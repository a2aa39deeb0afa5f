// Making a patch file as varnock-diff does: options, stages, the report.
//
// Internal to Varnock: for its own programs, not the public API (varnock.h),
// and with no ABI promise: it changes whenever the library does.
#pragma once

#include "common/Sizes.h"    // IWYU pragma: export
#include "make/Maker.h"      // IWYU pragma: export
#include "make/PatchFile.h"  // IWYU pragma: export
