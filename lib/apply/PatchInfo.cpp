#include "apply/PatchInfo.h"

#include <vector>

#include "apply/ContainerDecoder.h"
#include "apply/DecodedPatch.h"
#include "apply/PatchWindow.h"
#include "format/WholeDecoders.h"

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
  if (kind != PatchKind::kContainer) {
    DecodedPatch decoded(NewWholeDecoder(kind, patch, scan ? DecodedReach::kWhole : DecodedReach::kHead));
    PatchInfo info = InspectRaw(decoded, scan, patch_name);
    info.kind = kind;
    return info;
  }
  auto decoder = std::make_unique<container::ContainerDecoder>(patch, nullptr);
  const container::Header header = decoder->header();
  PatchInfo info;
  if (scan) {
    DecodedPatch decoded(std::move(decoder));
    info = InspectRaw(decoded, scan, patch_name);
  } else {
    info.header = PatchHeader{header.head_length - kSignatureSize, header.source_crc, header.target_crc};
    info.target_size = header.target_length;
  }
  info.kind = kind;
  info.source_size = header.source_length;
  return info;
}

}  // namespace varnock
