// The library's exceptions, whose kinds and messages the programs print.
//
// Internal to Varnock: for its own programs, not the public API (varnock.h),
// and with no ABI promise: it changes whenever the library does.
#pragma once

#include "common/Errors.h"  // IWYU pragma: export
