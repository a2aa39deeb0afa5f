#include "make/index/CoveredMatch.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "make/Pipeline.h"
#include "make/index/BlockCover.h"
#include "make/index/GapIndex.h"
#include "make/index/ResidualIndex.h"
#include "make/index/SimilarityTest.h"
#include "make/parse/SegmentParse.h"

namespace varnock::maker {
namespace {

// Where the covers leave at most 1 target byte in this many, and as few
// against the source, those bytes are indexed rather than the source: the
// index of them takes about 35 bytes a byte while it is built, less than
// the source's would.
constexpr std::uint64_t kGapIndexUpTo = 32;

// A stretch of the target and how it is written: a cover, copied from
// `source`, or parsed (source unused). A cover is written as it is: it is as
// long as the bytes agree, and the parse, given a cover's ends to weigh, took
// nearer offsets for the same bytes and an instruction more (+12% on a tree
// of HTML pages).
struct Part {
  std::uint32_t from;
  std::uint32_t to;
  std::uint32_t source;
  bool copied;
};

// Positions in inputs below 4 GiB.
std::uint32_t Narrow(std::uint64_t position) { return static_cast<std::uint32_t>(position); }

// The target cut into the covers and the stretches between them.
std::vector<Part> CutTarget(std::span<const CopyCandidate> covers, std::uint64_t size) {
  std::vector<Part> parts;
  parts.reserve(2 * covers.size() + 1);
  std::uint64_t at = 0;
  for (const CopyCandidate& cover : covers) {
    const std::uint64_t from = cover.target;
    const std::uint64_t to = from + cover.length;
    if (from > at) parts.push_back({Narrow(at), Narrow(from), 0, false});
    parts.push_back({Narrow(from), Narrow(to), cover.source, true});
    at = to;
  }
  if (at < size) parts.push_back({Narrow(at), Narrow(size), 0, false});
  return parts;
}

}  // namespace

CoveredReport MatchCovered(ByteSpan source, ByteSpan target, const MatchSettings& settings, unsigned threads,
                           bool for_container, const MatchSettings& raw_settings, PatchEncoder& encoder,
                           const StageProgress& indexing, const TargetRead& read, const ViewPages& pages) {
  CoveredReport report;
  if (indexing) indexing(0, 1);
  std::vector<CopyCandidate> covers;
  std::vector<Part> parts;
  std::vector<Stretch> open;
  std::uint64_t open_bytes = 0;
  const std::uint64_t few = std::min(target.size(), source.size()) / kGapIndexUpTo;
  auto cover = [&](std::uint64_t stride, std::uint64_t most_left) {
    covers = FindCovers(source, target, pages, stride, most_left);
    covers.shrink_to_fit();
    parts = CutTarget(covers, target.size());
    open.clear();
    open_bytes = 0;
    for (const Part& part : parts) {
      if (!part.copied) {
        open.push_back({part.from, part.to});
        open_bytes += part.to - part.from;
      }
    }
  };
  // Where the covers leave much, the rest is searched in the source's own
  // bytes, whose index then dwarfs a table of every block: the covers are
  // found from a block every kCoverBlock bytes, which leaves fewer bytes to
  // search (libmergedlo: 12% of the CPU time), once those of the sampled
  // table are seen to leave too much.
  const bool sampled = CoverStride(source.size()) > kCoverBlock;
  cover(0, sampled ? few : std::numeric_limits<std::uint64_t>::max());
  bool few_left = open_bytes <= few;
  if (!few_left && sampled) {
    cover(kCoverBlock, std::numeric_limits<std::uint64_t>::max());
    few_left = open_bytes <= few;
  }
  report.covered = target.size() - open_bytes;
  // Few bytes left are indexed whatever the sample would say: the index's
  // pass over the source tells as much as the sample's and costs as little.
  std::unique_ptr<SourceIndex> index;
  if (open_bytes > 0 && (few_left || SharesStrings(source, target, open, pages))) {
    index = few_left ? MakeGapIndex(source, target, open, pages)
                     : MakeResidualIndex(source, covers, threads, indexing, pages);
    report.index_memory = index->MemoryUse();
    report.searched = true;
  }
  ReturnFreedMemory();
  // The target is read again a segment at a time from here on: not held
  // whole beside the index.
  read(0, target.size(), false);
  // The suffix index tells its own end; the gap index and no index at all
  // still owe the stage its last report.
  if (indexing && (!index || few_left)) indexing(1, 1);

  // The open parts of each chunk are searched on any thread; the candidates
  // depend on the chunk's bounds alone.
  Pipeline pipeline(
      target.size(), threads, [&](std::uint64_t from, std::uint64_t to, std::vector<CopyCandidate>& found) {
        // A stretch that fills the chunk is searched straight into `found`:
        // a second list the chunk's size per thread would double the
        // candidates in flight.
        std::vector<CopyCandidate> searched;
        found.clear();
        if (!index) return;
        // Neither index of what the covers leave reads the source for
        // most of its matches; what the matcher still reads of it, here
        // and there, goes back before it holds more than a few parts. An
        // index of the whole source reads it all over, and holds it.
        const ViewPages held;
        TouchedPages touched(index->SearchesTheSource() ? held : pages, source, 2 * TouchedPages::kPartSize);
        auto part = std::upper_bound(parts.begin(), parts.end(), from,
                                     [](std::uint64_t at, const Part& p) { return at < p.to; });
        for (; part != parts.end() && part->from < to; ++part) {
          if (part->copied) continue;
          const std::uint64_t start = std::max<std::uint64_t>(part->from, from);
          const std::uint64_t end = std::min<std::uint64_t>(part->to, to);
          MatchSettings stretch_settings = settings;
          if (part != parts.begin() && std::prev(part)->copied && start == part->from)
            stretch_settings.anchor =
                std::int64_t{std::prev(part)->source} - std::int64_t{std::prev(part)->from};
          if (start == from && end == to) {
            FindCandidates(*index, source, target, start, end, stretch_settings, found, &touched);
            continue;
          }
          FindCandidates(*index, source, target, start, end, stretch_settings, searched, &touched);
          found.insert(found.end(), searched.begin(), searched.end());
        }
      });
  SegmentParse segment(source, target, for_container, raw_settings, encoder);
  std::vector<CopyCandidate> stretch_candidates;
  pipeline.Run(
      [&](std::uint64_t from, std::uint64_t to, std::span<const std::vector<CopyCandidate>> candidates) {
        auto part = std::upper_bound(parts.begin(), parts.end(), from,
                                     [](std::uint64_t at, const Part& p) { return at < p.to; });
        for (; part != parts.end() && part->from < to; ++part) {
          const std::uint64_t start = std::max<std::uint64_t>(part->from, from);
          const std::uint64_t end = std::min<std::uint64_t>(part->to, to);
          if (part->copied) {
            segment.Copy(start, end, part->source + (start - part->from));
            continue;
          }
          if (start == from && end == to) {
            segment.Parse(start, end, candidates);
            continue;
          }
          stretch_candidates.clear();
          for (const std::vector<CopyCandidate>& list : candidates) {
            auto first =
                std::lower_bound(list.begin(), list.end(), start,
                                 [](const CopyCandidate& c, std::uint64_t at) { return c.target < at; });
            auto last =
                std::lower_bound(first, list.end(), end,
                                 [](const CopyCandidate& c, std::uint64_t at) { return c.target < at; });
            stretch_candidates.insert(stretch_candidates.end(), first, last);
          }
          segment.Parse(start, end, std::span(&stretch_candidates, 1));
        }
        segment.EndSegment();
        read(from, to, true);
      },
      [](std::uint64_t, std::uint64_t) {});
  index.reset();
  pages.Release(source);
  ReturnFreedMemory();
  return report;
}

std::uint64_t CoveredMemory(std::uint64_t source_size, std::uint64_t target_size) {
  return std::max(CoverTableMemory(source_size, kCoverBlock), SuffixIndexMemory(source_size)) + target_size;
}

}  // namespace varnock::maker
