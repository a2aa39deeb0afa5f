// What a patch holds, told without its source: its kind, the checksums and
// lengths it names, and (read whole) what its instructions do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "apply/PatchScan.h"
#include "format/PatchFormat.h"
#include "format/PatchKind.h"
#include "io/InputRanges.h"

namespace varnock {

struct PatchInfo {
  PatchKind kind = PatchKind::kRaw;
  // Unset where the kind's own header does not name them and the raw patch
  // inside was not reached.
  std::optional<PatchHeader> header;
  std::optional<std::uint64_t> source_size;
  std::optional<std::uint64_t> target_size;
  std::optional<StreamCounts> counts;
};

// Reads the patch's header only (`scan` false) or the whole patch, raising the
// error applying would raise for the parts read, bar those on the source;
// `patch_name` goes into "<name> is not a patch".
PatchInfo InspectPatch(InputRanges& patch, bool scan, const std::string& patch_name);

}  // namespace varnock
