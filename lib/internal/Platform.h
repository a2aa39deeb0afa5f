// The operating system as the programs need it: standard output, terminals,
// the process's set-up and exit.
//
// Internal to Varnock: for its own programs, not the public API (varnock.h),
// and with no ABI promise: it changes whenever the library does.
#pragma once

#include "platform/platform.h"  // IWYU pragma: export
