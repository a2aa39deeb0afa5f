#include "programs/varnock-diff/InspectCommand.h"

#include <cstdio>

#include "internal/Inspect.h"

namespace varnock::diff {
namespace {

const char* KindName(PatchKind kind) {
  switch (kind) {
    case PatchKind::kRaw:
      return "raw patch";
    case PatchKind::kContainer:
      return "container";
    case PatchKind::kXz:
      return "raw patch compressed by xz";
    case PatchKind::kZstd:
      return "raw patch compressed by zstd";
  }
  return "";
}

std::string Hex(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

std::string Line(const char* label, const std::string& value) {
  std::string line = label;
  line.resize(10, ' ');
  return line + value + "\n";
}

// Whether `source_name` is the patch's source, in plain words.
InspectVerdict Judge(const PatchInfo& info, const std::string& source_name, ProgressBar& bar) {
  TFileRanges source(source_name);
  const SourceFit fit = JudgeSource(info, source, [&bar](std::uint64_t done, std::uint64_t total) {
    bar.Show(Stage::kVerifying, done, total);
  });
  bar.Clear();
  const std::string quoted = "\"" + source_name + "\"";
  const std::string not_it = quoted + " is not the file this patch was made for: ";
  const std::string length = std::to_string(fit.size);
  switch (fit.verdict) {
    case SourceFit::Verdict::kWrongLength:
      return {not_it + "it is " + length + " bytes long, the patch's source " +
                  std::to_string(*info.source_size) + " bytes.\n",
              false};
    case SourceFit::Verdict::kTooShort:
      return {not_it + "it is " + length + " bytes long, and the patch copies from its first " +
                  std::to_string(info.counts->source_reach) + " bytes.\n",
              false};
    case SourceFit::Verdict::kWrongChecksum:
      return {not_it + "its CRC-32 is " + Hex(*fit.crc) + ", the patch's source's " +
                  Hex(info.header->source_crc) + ".\n",
              false};
    case SourceFit::Verdict::kFits:
      break;
  }
  return {quoted + " is the file this patch was made for: its " +
              (info.source_size ? "length and CRC-32 match" : "CRC-32 matches") + ".\n",
          true};
}

}  // namespace

InspectVerdict InspectPatchFile(const std::string& patch_name, const std::string& source_name,
                                ProgressBar& bar) {
  TFileRanges patch(patch_name);
  const PatchInfo info = InspectPatch(patch, /*scan=*/true, patch_name);
  std::string text = Line("kind:", KindName(info.kind));
  const std::string source_size =
      info.source_size
          ? std::to_string(*info.source_size) + " bytes"
          : "length not recorded (at least " + std::to_string(info.counts->source_reach) + " bytes)";
  text += Line("source:", source_size + ", CRC-32 " + Hex(info.header->source_crc));
  text +=
      Line("target:", std::to_string(*info.target_size) + " bytes, CRC-32 " + Hex(info.header->target_crc));
  text += Line("copies:", std::to_string(info.counts->copies) + ", " +
                              std::to_string(info.counts->bytes_copied) + " bytes copied from the source");
  text += Line("literals:", std::to_string(info.counts->literals) + ", " +
                                std::to_string(info.counts->bytes_carried) + " bytes carried in the patch");
  // What a predicting container's blocks chose; a first version's says
  // nothing more than its kind does.
  const bool predicting = info.container_version.value_or(1) > 1 && info.container;
  if (predicting) {
    text += Line("blocks:", std::to_string(info.container->blocks) + ", " +
                                std::to_string(info.container->predicted_blocks) +
                                " with literals against a prediction of the source's references");
  }
  if (source_name.empty()) return {text, true};
  InspectVerdict verdict = Judge(info, source_name, bar);
  if (predicting && verdict.source_fits) {
    TFileRanges patch_again(patch_name);
    TFileRanges source(source_name);
    const PredictionInfo prediction = DescribePrediction(patch_again, source);
    const container::ContainerReport& report = prediction.report;
    text += Line("element:", (prediction.source_kind.empty() ? std::string("no executable known")
                                                             : prediction.source_kind) +
                                 ", " + std::to_string(prediction.references) + " references found");
    text += Line("predicts:", std::to_string(report.references_reencoded) + " references re-encoded; " +
                                  std::to_string(report.corrected_bytes) + " of " +
                                  std::to_string(report.predicted_bytes) +
                                  " predicted literal bytes carried as corrections");
  }
  verdict.text = text + verdict.text;
  return verdict;
}

}  // namespace varnock::diff
