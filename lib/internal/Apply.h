// Applying a patch from files with the steps and messages of the varnock program.
//
// Internal to Varnock: for its own programs, not the public API (varnock.h),
// and with no ABI promise: it changes whenever the library does.
#pragma once

#include "apply/Apply.h"  // IWYU pragma: export
