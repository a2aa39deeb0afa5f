// Writes the target a segment at a time: covers as they are, the stretches
// between them parsed, straight through the encoder. For a container each
// stretch is parsed twice, by RawParse and by ContainerParse, both held to
// the segment's end, and the segment goes out the way whose
// container streams a fast compressor makes smaller: the container's parse
// wins where the target almost matches the source, but where literals go
// plain (new code, much of it repeating itself) its runs cut them up. The
// raw parse then gets only the candidates `raw_settings` keep (its short
// copies near a long one's diagonal), the container's parse all of them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "make/parse/ContainerParse.h"
#include "make/parse/RawParse.h"

namespace varnock::maker {

class SegmentParse {
 public:
  // `encoder` has written all that comes before the first segment.
  SegmentParse(ByteSpan source, ByteSpan target, bool for_container, const MatchSettings& raw_settings,
               PatchEncoder& encoder);

  // The segment's parts, in target order.
  void Copy(std::uint64_t from, std::uint64_t to, std::uint64_t source_offset);
  void Parse(std::uint64_t from, std::uint64_t to, std::span<const std::vector<CopyCandidate>> candidates);

  // Writes what the segment's parts have left to write, and starts the next.
  void EndSegment();

 private:
  // The raw parse's, then for a container the container parse's.
  struct Way {
    std::vector<Instruction> chosen;
    std::uint64_t cursor = 0;  // after `chosen`
  };
  // Hands an instruction of `way` to the encoder, or holds it for a container.
  void Take(Way& way, const Instruction& instruction);

  ByteSpan source_;
  ByteSpan target_;
  PatchEncoder& encoder_;
  MatchSettings raw_settings_;
  RawParse raw_parse_;
  std::optional<ContainerParse> container_parse_;
  std::vector<Way> ways_;
  std::vector<CopyCandidate> kept_;  // the raw parse's candidates, for a container
};

}  // namespace varnock::maker
