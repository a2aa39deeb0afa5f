// Making a patch, as the library offers it: the maker's core with the host's
// options, sink and progress.
#pragma once

#include <cstdint>

#include "lib/MemoryTargets.h"
#include "lib/Progress.h"
#include "lib/varnock.h"
#include "maker/Maker.h"

namespace varnock {

// The maker's options from the public struct (null: the defaults). Raises
// EBadArgument for a reserved field that is not zero.
MakerOptions MakerOptionsFrom(const varnock_make_options* options);

// Hands the patch to `write`; returns its size.
std::uint64_t MakePatchMemory(ByteSpan source, ByteSpan target, const MakerOptions& options, WriteCallback write,
                              void* user_data, Progress& progress);

}  // namespace varnock
