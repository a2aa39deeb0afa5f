#include "make/parse/SegmentParse.h"

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "format/Codecs.h"
#include "format/ContainerFormat.h"

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
// compressor, the literals in the smaller of their two forms.
std::uint64_t EstimateContainer(ByteSpan target, ByteSpan source, std::span<const Instruction> instructions,
                                std::uint64_t cursor) {
  container::Bytes opcodes, lengths, offsets, plain, difference;
  for (const Instruction& instruction : instructions) {
    const std::uint64_t length = instruction.end - instruction.start;
    if (instruction.source == kCarried) {
      if (length <= opcode::kLongestShortLiteral) {
        opcodes.push_back(static_cast<std::uint8_t>(length));
      } else {
        opcodes.push_back(opcode::kLiteral16);
        container::AppendVarint(lengths, length);
      }
      for (std::uint64_t k = 0; k < length; ++k) {
        const std::uint8_t byte = target[instruction.start + k];
        plain.push_back(byte);
        difference.push_back(
            static_cast<std::uint8_t>(byte - (cursor + k < source.size() ? source[cursor + k] : 0)));
      }
    } else {
      opcodes.push_back(instruction.source > 0xFFFF ? opcode::kCopy32_8 : opcode::kCopy16_8);
      container::AppendVarint(lengths, length);
      container::AppendVarint(offsets, container::Zigzag(static_cast<std::int64_t>(instruction.source) -
                                                         static_cast<std::int64_t>(cursor)));
    }
    cursor = CursorAfter(instruction, cursor);
  }
  QuickCompressor compressor;
  return compressor.Size(opcodes) + compressor.Size(lengths) + compressor.Size(offsets) +
         std::min(compressor.Size(plain), compressor.Size(difference));
}

}  // namespace

SegmentParse::SegmentParse(ByteSpan source, ByteSpan target, bool for_container,
                           const MatchSettings& raw_settings, PatchEncoder& encoder)
    : source_(source), target_(target), encoder_(encoder), raw_settings_(raw_settings) {
  ways_.emplace_back();
  if (for_container) ways_.push_back({Parser(source), {}, encoder.Cursor()});
  ways_.front().cursor = encoder.Cursor();
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
  if (ways_.size() > 1) {
    // A cover just before is the first anchor, as the matcher takes it.
    std::optional<std::int64_t> anchor;
    const std::vector<Instruction>& before = ways_.front().chosen;
    if (!before.empty() && before.back().end == from && before.back().source != kCarried)
      anchor = std::int64_t{before.back().source} - std::int64_t{before.back().start};
    KeepAnchored(candidates, raw_settings_, anchor, kept_);
  }
  for (Way& way : ways_) {
    way.parser.Parse(target_, from, to,
                     &way == &ways_.front() && ways_.size() > 1 ? std::span(&kept_, 1) : candidates,
                     way.cursor, [&](const Instruction& instruction) { Take(way, instruction); });
  }
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
