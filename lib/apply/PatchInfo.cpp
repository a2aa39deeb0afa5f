#include "apply/PatchInfo.h"

#include <algorithm>
#include <vector>

#include "apply/ContainerDecoder.h"
#include "apply/DecodedPatch.h"
#include "apply/PatchWindow.h"
#include "common/Errors.h"
#include "format/WholeDecoders.h"
#include "io/FileContents.h"

namespace varnock {
namespace {

PatchInfo InspectRaw(InputRanges& patch, bool scan, const std::string& patch_name) {
  const std::vector<std::uint8_t> head = ReadPatchHead(patch);
  PatchInfo info;
  try {
    info.header = ReadPatchHeader(head, patch.Size());
  } catch (const Exception& error) {
    // No magic, no patch: a file of another kind (text, say) is told as
    // such, not as a damaged patch, and never, as applying would tell it,
    // as a patch for another source.
    if (error.Kind() == ErrorKind::kHeaderCorrupted && !HoldsPatchMagic(head)) RaiseNotAPatch(patch_name);
    throw;
  }
  CheckSignature(head, *info.header, patch_name);
  if (scan) {
    PatchWindow window(patch);
    info.counts = ScanStream(window, *info.header);
    info.target_size = info.counts->target_size;
  }
  return info;
}

}  // namespace

SourceFit JudgeSource(const PatchInfo& info, InputRanges& source, const StageProgress& progress) {
  SourceFit fit;
  fit.size = source.Size();
  if (info.source_size && *info.source_size != fit.size) {
    fit.verdict = SourceFit::Verdict::kWrongLength;
  } else if (info.counts && info.counts->source_reach > fit.size) {
    fit.verdict = SourceFit::Verdict::kTooShort;
  } else {
    fit.crc = ChecksumOfRanges(source, progress);
    if (*fit.crc != info.header->source_crc) fit.verdict = SourceFit::Verdict::kWrongChecksum;
  }
  return fit;
}

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
    const container::ContainerDecoder& blocks = *decoder;
    DecodedPatch decoded(std::move(decoder));
    info = InspectRaw(decoded, scan, patch_name);
    info.container = blocks.report();
  } else {
    info.header = PatchHeader{header.head_size - kSignatureSize, header.source_crc, header.target_crc};
    info.target_size = header.target_size;
  }
  info.kind = kind;
  info.source_size = header.source_size;
  info.container_version = header.version;
  return info;
}

PredictionInfo DescribePrediction(InputRanges& patch, InputRanges& source) {
  container::ContainerDecoder decoder(patch, &source);
  std::vector<std::uint8_t> piece(std::size_t{1} << 20);
  while (decoder.Read(piece) != 0) {
  }
  PredictionInfo info;
  info.report = decoder.report();
  if (const container::Predictor* predictor = decoder.predictor()) {
    info.source_kind = predictor->Kind();
    info.references = predictor->CountReferences();
  }
  return info;
}

}  // namespace varnock
