// Applying a patch, as the library offers it and the varnock program runs it:
// from files, from memory, or from inputs read by ranges, into a file or a
// target the caller keeps. Raises the first error met, as an exception of the
// Exception family; prints nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/Progress.h"
#include "format/PatchFormat.h"
#include "io/InputFile.h"
#include "io/InputRanges.h"
#include "io/MemoryTargets.h"
#include "io/PatchFileNames.h"

namespace varnock {

// The most memory the source's block cache takes where the source is read by
// ranges, unless the caller sets another.
inline constexpr std::size_t kDefaultSourceCache = std::size_t{64} << 20;

// Opens the inputs and creates the target; checks the patch against the
// source (Stage::kChecksum begins); writes the target (kWriting); reads it back
// and checks it (kVerifying). The target then holds what was written so far.
// `source_cache` bounds the source's cache with kRead.
//
// Every call here takes a `source_crc` that the caller knows for the source
// (a check made before) in place of the source's own: the source is then read
// only where the patch copies from it. One that is not the patch's source's
// fails as a wrong source does; one that is, for another source, is caught by
// the target's checksum, or by an instruction the source cannot satisfy.
void ApplyPatchFiles(const PatchFileNames& names, InputAccess access, Progress& progress,
                     std::size_t source_cache = kDefaultSourceCache,
                     std::optional<std::uint32_t> source_crc = std::nullopt);

// The name a patch in memory goes by in "<name> is not a patch".
inline constexpr const char* kMemoryPatchName = "<memory>";
// ... and a patch read by ranges through a host's callback.
inline constexpr const char* kRangedPatchName = "<patch>";

// The same steps on memory, checking the target as it was written.
void ApplyPatchMemory(ByteSpan source, ByteSpan patch, MemoryTarget& target, Progress& progress,
                      std::optional<std::uint32_t> source_crc = std::nullopt);

// The same steps on inputs read by ranges, the source through a cache of at
// most `source_cache` bytes, the patch through a window of fixed size.
void ApplyPatchRanges(InputRanges& source, InputRanges& patch, const std::string& patch_name,
                      MemoryTarget& target, std::size_t source_cache, Progress& progress,
                      std::optional<std::uint32_t> source_crc = std::nullopt);

// The length of the target, by every check but the target's own CRC-32.
std::uint64_t MeasureTarget(ByteSpan source, ByteSpan patch,
                            std::optional<std::uint32_t> source_crc = std::nullopt);

}  // namespace varnock
