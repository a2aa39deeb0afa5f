// The operating system as the programs reach it through the library: files,
// terminals, and the state the programs' own process calls
// (programs/common/Console.h) share with the library's files: the input-fault
// handler, the temporary file, UTF-8 names.
//
// Internal to Varnock: for its own programs, not the public API (varnock.h),
// and with no ABI promise: it changes whenever the library does.
#pragma once

#include "platform/platform.h"  // IWYU pragma: export
