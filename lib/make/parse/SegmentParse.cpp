#include "make/parse/SegmentParse.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "format/Codecs.h"
#include "format/ContainerStreams.h"
#include "format/Instruction.h"

namespace varnock::maker {
namespace {

std::uint64_t CursorAfter(const Instruction& instruction, std::uint64_t cursor) {
  const std::uint64_t length = instruction.end - instruction.start;
  return instruction.source == kCarried ? cursor + length : std::uint64_t{instruction.source} + length;
}

using container::QuickCompressor;

// The candidates the matcher keeps with `settings` of those it found without
// them, as it would keep them at the stretch's start, `anchor` the diagonal
// of the last long copy.
void KeepAnchored(std::span<const std::vector<CopyCandidate>> candidates, const MatchSettings& settings,
                  std::optional<std::int64_t>& anchor, std::vector<CopyCandidate>& kept) {
  kept.clear();
  for (const std::vector<CopyCandidate>& list : candidates) {
    for (const CopyCandidate& candidate : list) {
      const std::int64_t diagonal = std::int64_t{candidate.source} - std::int64_t{candidate.target};
      if (candidate.length >= settings.shortest_unanchored) {
        anchor = diagonal;
      } else if (!anchor ||
                 static_cast<std::uint64_t>(std::abs(diagonal - *anchor)) > settings.anchor_distance) {
        continue;
      }
      kept.push_back(candidate);
    }
  }
}

// The bytes `instructions` of `target` are thought to take in a container,
// the cursor standing at `cursor` before them: their streams under a fast
// compressor, the literals in the smaller of their two forms. Near enough to
// rank two parses, the opcodes are not those the encoder would choose: a copy
// has the short length's opcode, and a literal too long for a short opcode
// the 16-bit one, whatever its length.
std::uint64_t EstimateContainer(ByteSpan target, ByteSpan source, std::span<const Instruction> instructions,
                                std::uint64_t cursor) {
  container::StreamBuilder builder(source, cursor);
  container::BlockForms forms;
  for (const Instruction& instruction : instructions) {
    const std::uint64_t length = instruction.end - instruction.start;
    if (instruction.source == kCarried) {
      const std::uint8_t code =
          length <= opcode::kLongestShortLiteral ? static_cast<std::uint8_t>(length) : opcode::kLiteral16;
      builder.AddLiteral(forms, code, length);
      builder.AddLiteralBytes(forms, target.subspan(instruction.start, length));
    } else {
      builder.AddCopy(forms, CopyOpcode(OffsetWidth(instruction.source), 1), instruction.source, length);
    }
  }
  using container::Form;
  QuickCompressor compressor;
  return compressor.Size(forms[Form::kOpcodes]) + compressor.Size(forms[Form::kLengths]) +
         compressor.Size(forms[Form::kOffsets]) +
         std::min(compressor.Size(forms[Form::kPlainLiterals]),
                  compressor.Size(forms[Form::kDifferenceLiterals]));
}

}  // namespace

SegmentParse::SegmentParse(ByteSpan source, ByteSpan target, bool for_container,
                           const MatchSettings& raw_settings, PatchEncoder& encoder)
    : source_(source), target_(target), encoder_(encoder), raw_settings_(raw_settings) {
  ways_.push_back({{}, encoder.Cursor()});
  if (for_container) {
    container_parse_.emplace(source);
    ways_.push_back({{}, encoder.Cursor()});
  }
}

void SegmentParse::Take(Way& way, const Instruction& instruction) {
  if (ways_.size() == 1) {
    WriteInstruction(target_, instruction, encoder_);
    way.cursor = encoder_.Cursor();
    return;
  }
  way.chosen.push_back(instruction);
  way.cursor = CursorAfter(instruction, way.cursor);
}

void SegmentParse::Copy(std::uint64_t from, std::uint64_t to, std::uint64_t source_offset) {
  for (Way& way : ways_)
    Take(way, {static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(to),
               static_cast<std::uint32_t>(source_offset)});
}

void SegmentParse::Parse(std::uint64_t from, std::uint64_t to,
                         std::span<const std::vector<CopyCandidate>> candidates) {
  Way& raw = ways_.front();
  auto take_raw = [&](const Instruction& instruction) { Take(raw, instruction); };
  if (!container_parse_) {
    raw_parse_.Parse(from, to, candidates, take_raw);
    return;
  }
  // A cover just before is the first anchor, as the matcher takes it.
  std::optional<std::int64_t> anchor;
  const std::vector<Instruction>& before = raw.chosen;
  if (!before.empty() && before.back().end == from && before.back().source != kCarried)
    anchor = std::int64_t{before.back().source} - std::int64_t{before.back().start};
  KeepAnchored(candidates, raw_settings_, anchor, kept_);
  raw_parse_.Parse(from, to, std::span(&kept_, 1), take_raw);
  Way& container = ways_.back();
  container_parse_->Parse(target_, from, to, candidates, container.cursor,
                          [&](const Instruction& instruction) { Take(container, instruction); });
}

void SegmentParse::EndSegment() {
  if (ways_.size() == 1) return;
  const std::uint64_t cursor = encoder_.Cursor();
  // Where both ways agree (a segment of covers) there is nothing to weigh.
  const Way& chosen =
      ways_[0].chosen != ways_[1].chosen && EstimateContainer(target_, source_, ways_[1].chosen, cursor) <
                                                EstimateContainer(target_, source_, ways_[0].chosen, cursor)
          ? ways_[1]
          : ways_[0];
  for (const Instruction& instruction : chosen.chosen) WriteInstruction(target_, instruction, encoder_);
  for (Way& way : ways_) {
    way.chosen.clear();
    way.cursor = encoder_.Cursor();
  }
}

}  // namespace varnock::maker
