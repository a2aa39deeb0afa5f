// What a patch holds, told without its source: its kind, the checksums and
// lengths it names, and (read whole) what its instructions do; and whether a
// file is the source it was made for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "apply/ContainerDecoder.h"
#include "apply/PatchScan.h"
#include "common/Progress.h"
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
  // A container's version, and (read whole) what its blocks chose.
  std::optional<std::uint8_t> container_version;
  std::optional<container::ContainerReport> container;
};

// What a predicting container's prediction does with its source, found by
// decoding it with that source (which must fit it).
struct PredictionInfo {
  std::string source_kind;  // "ELF x86-64" ..., empty where the source is no executable known
  std::uint64_t references = 0;
  container::ContainerReport report;
};
PredictionInfo DescribePrediction(InputRanges& patch, InputRanges& source);

// Reads the patch's header only (`scan` false) or the whole patch, raising the
// error applying would raise for the parts read, bar those on the source;
// `patch_name` goes into "<name> is not a patch".
PatchInfo InspectPatch(InputRanges& patch, bool scan, const std::string& patch_name);

// Whether a file is the source of the patch `info` describes: its length
// first, against the one the patch carries or else the furthest its copies
// reach (known when the patch was read whole), then its CRC-32.
struct SourceFit {
  enum class Verdict {
    kFits,
    kWrongLength,    // not the length the patch carries
    kTooShort,       // shorter than the patch's copies reach
    kWrongChecksum,  // the right length, another CRC-32
  };
  Verdict verdict = Verdict::kFits;
  std::uint64_t size = 0;
  // The file's CRC-32, unless its length settled the verdict before it.
  std::optional<std::uint32_t> crc;
};

// Reads `source` whole for its CRC-32 where its length allows, telling
// `progress` as ChecksumOfRanges does; raises the input's errors. `info`
// needs its header (checksums).
SourceFit JudgeSource(const PatchInfo& info, InputRanges& source, const StageProgress& progress);

}  // namespace varnock
