// Making a patch, as the library offers it: the maker's core with the host's
// options, output and progress, from memory or from files.
#pragma once

#include <cstdint>
#include <string>

#include "lib/MemoryTargets.h"
#include "lib/Progress.h"
#include "lib/varnock.h"
#include "patch/PatchFormat.h"

namespace varnock {

struct MakerSettings {
  bool compressible = false;
  unsigned threads = 0;
  std::uint64_t memory_limit = 0;
  bool replace_existing = false;
};

struct MakeFileNames {
  std::string source;
  std::string target;
  std::string patch;
};

// The settings from the public struct (null: the defaults). Raises
// EBadArgument for a reserved field that is not zero.
MakerSettings MakerSettingsFrom(const varnock_make_options* options);

// Hands the patch to `write`; returns its size.
std::uint64_t MakePatchMemory(ByteSpan source, ByteSpan target, const MakerSettings& settings,
                              WriteCallback write, void* user_data, Progress& progress);

// Writes the patch file, verified, through a temporary file renamed into place.
void MakePatchFiles(const MakeFileNames& names, const MakerSettings& settings, Progress& progress);

}  // namespace varnock
