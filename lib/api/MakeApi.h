// Making a patch, as the library offers it: the maker's core with the host's
// options, output and progress, from memory or from files.
#pragma once

#include <cstdint>
#include <string>

#include "common/Progress.h"
#include "io/MemoryTargets.h"
#include "io/PatchFileNames.h"
#include "make/PatchFile.h"
#include "varnock.h"

namespace varnock {

// The maker's options from the public struct (null: the defaults), for
// inputs no fault handler knows. Raises EBadArgument for a reserved field
// that is not zero.
PatchFileOptions MakeOptionsFrom(const varnock_make_options* options);

// Hands the patch to `write`; returns its size.
std::uint64_t MakePatchMemory(ByteSpan source, ByteSpan target, const MakerOptions& options,
                              WriteCallback write, void* user_data, Progress& progress);

// Writes the patch file, verified, through a temporary file renamed into place.
void MakePatchFiles(const PatchFileNames& names, const PatchFileOptions& options, Progress& progress);

}  // namespace varnock
