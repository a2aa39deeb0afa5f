#include "apply/PatchInfo.h"

#include <vector>

#include "apply/PatchWindow.h"

namespace varnock {
namespace {

PatchInfo InspectRaw(InputRanges& patch, bool scan, const std::string& patch_name) {
  const std::vector<std::uint8_t> head = ReadPatchHead(patch);
  PatchInfo info;
  info.header = ReadPatchHeader(head, patch.Size());
  CheckSignature(head, *info.header, patch_name);
  if (scan) {
    PatchWindow window(patch);
    info.counts = ScanStream(window, *info.header);
    info.target_size = info.counts->target_size;
  }
  return info;
}

}  // namespace

PatchInfo InspectPatch(InputRanges& patch, bool scan, const std::string& patch_name) {
  std::uint8_t first[kLongestMagic];
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(patch.Size(), kLongestMagic));
  patch.Read(0, {first, length});
  const PatchKind kind = PatchKindOf({first, length});
  if (kind == PatchKind::kRaw) return InspectRaw(patch, scan, patch_name);
  PatchInfo info;
  info.kind = kind;
  return info;
}

}  // namespace varnock
