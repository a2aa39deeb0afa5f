#include "make/index/ResidualIndex.h"

#include <algorithm>
#include <vector>

#include "make/index/CommonPrefix.h"

namespace varnock::maker {
namespace {

// Where the kept part is at least this share of the source (in 1/16), the
// whole source is indexed: the copy and its index would take more than the
// index of the whole.
constexpr std::uint64_t kWholeFrom16ths = 13;

// A long cover is mostly a stretch of the file left as it was (a member of
// a tree kept): the bytes near its ends are kept, as the edits around it
// often match them; a short one is a run of code between relocations and
// is dropped whole. Measured (raw patch against the whole source's index,
// CPU): short and long dropped whole, pg-tree +1.57%; these bounds, pg-tree
// +0.76% and perf, postgres at most +0.14% in a fifth less time than with
// every cover's ends kept.
constexpr std::uint64_t kLongCover = 2048;
constexpr std::uint64_t kLongCoverEnds = 2048;

struct Piece {
  std::uint64_t packed;  // where it starts among the kept bytes
  std::uint64_t real;    // and in the source
};

class ResidualIndex final : public SourceIndex {
 public:
  ResidualIndex(ByteSpan source, std::vector<std::uint8_t> kept, std::vector<Piece> pieces, unsigned threads,
                const StageProgress& progress)
      : source_(source),
        kept_(std::move(kept)),
        pieces_(std::move(pieces)),
        inner_(MakeSuffixIndex(kept_, threads, progress)) {}

  SourceMatch Longest(ByteSpan pattern) const override { return InSource(pattern, inner_->Longest(pattern)); }
  SourceMatch LongestNear(ByteSpan pattern) const override {
    return InSource(pattern, inner_->LongestNear(pattern));
  }
  bool MayMatch(ByteSpan pattern) const override { return inner_->MayMatch(pattern); }
  void Prefetch(ByteSpan pattern) const override { inner_->Prefetch(pattern); }
  bool SearchesTheSource() const override { return false; }
  std::uint64_t MemoryUse() const override {
    return kept_.size() + pieces_.size() * sizeof(Piece) + inner_->MemoryUse();
  }

 private:
  // A match among the kept bytes, at its place in the source and as long as
  // it is there. The kept bytes are the source's as far as the piece goes:
  // the source itself is read only where the match runs on past that, and
  // the bytes before the place come from the piece too.
  SourceMatch InSource(ByteSpan pattern, SourceMatch packed) const {
    if (packed.length == 0) return {};
    const auto piece =
        std::prev(std::upper_bound(pieces_.begin(), pieces_.end(), packed.source,
                                   [](std::uint64_t at, const Piece& p) { return at < p.packed; }));
    const std::uint64_t piece_end =
        std::next(piece) == pieces_.end() ? kept_.size() : std::next(piece)->packed;
    const std::uint64_t into = packed.source - piece->packed;
    const std::uint64_t real = piece->real + into;
    const std::uint64_t limit = std::min<std::uint64_t>(pattern.size(), source_.size() - real);
    std::uint64_t length = std::min<std::uint64_t>(packed.length, piece_end - packed.source);
    const std::uint64_t in_piece = length;
    if (length == piece_end - packed.source && length < limit)
      length += CommonPrefix(pattern.data() + length, source_.data() + real + length, limit - length);
    if (length < kShortestMatch) return {};
    SourceMatch match{static_cast<std::uint32_t>(real), static_cast<std::uint32_t>(length)};
    match.known = static_cast<std::uint32_t>(std::min<std::uint64_t>(8, into));
    for (std::uint32_t back = 1; back <= match.known; ++back)
      match.before |= std::uint64_t{kept_[packed.source - back]} << (64 - 8 * back);
    match.read = static_cast<std::uint32_t>(length - in_piece);
    return match;
  }

  ByteSpan source_;
  std::vector<std::uint8_t> kept_;
  std::vector<Piece> pieces_;
  std::unique_ptr<SourceIndex> inner_;
};

}  // namespace

std::unique_ptr<SourceIndex> MakeResidualIndex(ByteSpan source, std::span<const CopyCandidate> covers,
                                               unsigned threads, const StageProgress& progress,
                                               const ViewPages& pages) {
  // The insides of the covers' source stretches, in source order, merged.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> dropped;
  for (const CopyCandidate& cover : covers) {
    const std::uint64_t kept = cover.length < kLongCover ? 0 : kLongCoverEnds;
    const std::uint64_t from = std::max<std::uint64_t>(cover.source + kept, kNearSourceEnd);
    const std::uint64_t to = std::uint64_t{cover.source} + cover.length - kept;
    if (from < to) dropped.emplace_back(from, to);
  }
  std::sort(dropped.begin(), dropped.end());
  std::vector<Piece> pieces;
  std::uint64_t kept_size = 0;
  std::uint64_t at = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> kept_stretches;
  for (const auto& [from, to] : dropped) {
    if (from > at) kept_stretches.emplace_back(at, from);
    at = std::max(at, to);
  }
  if (at < source.size()) kept_stretches.emplace_back(at, source.size());
  for (const auto& [from, to] : kept_stretches) kept_size += to - from;
  if (16 * kept_size >= kWholeFrom16ths * source.size()) return MakeSuffixIndex(source, threads, progress);
  std::vector<std::uint8_t> kept;
  kept.reserve(kept_size);
  {
    PassedPages passed(pages, source);
    for (const auto& [from, to] : kept_stretches) {
      pieces.push_back({kept.size(), from});
      kept.insert(kept.end(), source.begin() + static_cast<std::ptrdiff_t>(from),
                  source.begin() + static_cast<std::ptrdiff_t>(to));
      passed.Reached(to);
    }
  }
  return std::make_unique<ResidualIndex>(source, std::move(kept), std::move(pieces), threads, progress);
}

}  // namespace varnock::maker
