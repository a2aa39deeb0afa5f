// What a patch holds, read from a file, for varnock-diff --info: the
// description the C API's varnock_inspect_patch gives, the judgement of a
// source against it, and the files to read both from.
//
// Internal to Varnock: for its own programs, not the public API (varnock.h),
// and with no ABI promise: it changes whenever the library does.
#pragma once

#include "apply/PatchInfo.h"  // IWYU pragma: export
#include "io/FileContents.h"  // IWYU pragma: export
