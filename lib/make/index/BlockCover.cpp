#include "make/index/BlockCover.h"

#include <algorithm>
#include <array>
#include <bit>

#include "make/index/CommonPrefix.h"

namespace varnock::maker {
namespace {

// The blocks' hash, a polynomial in the bytes, which rolls a byte at a time.
constexpr std::uint64_t kRoll = 0x100000001B3ull;

constexpr std::uint64_t Power(std::uint64_t base, std::uint64_t exponent) {
  std::uint64_t result = 1;
  for (std::uint64_t i = 0; i < exponent; ++i) result *= base;
  return result;
}
// The weight of the byte that leaves the window.
constexpr std::uint64_t kOutgoing = Power(kRoll, kCoverBlock - 1);

// The same polynomial summed over kLanes interleaved lanes, which do not wait
// on each other: a block's hash in a quarter of the time of one chain of
// multiplications, where the source's blocks are hashed.
constexpr std::uint64_t kLanes = 8;
constexpr std::uint64_t kLaneRoll = Power(kRoll, kLanes);
std::uint64_t HashBlock(const std::uint8_t* at) {
  std::array<std::uint64_t, kLanes> lanes{};
  for (std::uint64_t i = 0; i < kCoverBlock; i += kLanes) {
    for (std::uint64_t lane = 0; lane < kLanes; ++lane) lanes[lane] = lanes[lane] * kLaneRoll + at[i + lane];
  }
  std::uint64_t hash = 0;
  for (std::uint64_t lane = 0; lane < kLanes; ++lane) hash = hash * kRoll + lanes[lane];
  return hash;
}

// Blocks in the table at most, which then takes about 5 MiB: a block at
// each multiple of kCoverBlock of a tree of 16 MiB of pages, whose short
// shared stretches longer strides lose (its raw patch +3% at 256 bytes),
// and no more than a few MiB for a large source, whose pages the run
// otherwise no longer holds.
constexpr std::uint64_t kMostBlocks = std::uint64_t{3} << 17;

std::uint64_t BlockCount(std::uint64_t source_size, std::uint64_t stride) {
  return source_size < kCoverBlock ? 0 : (source_size - kCoverBlock) / stride + 1;
}

// A slot and a half a block, as many as that takes (no power of two, which
// would double it at worst): a miss ends after a few slots of one line.
std::uint64_t SlotCount(std::uint64_t blocks) { return std::max<std::uint64_t>(64, blocks + blocks / 2); }

// Eight to sixteen bits a block.
std::uint64_t FilterWords(std::uint64_t blocks) {
  return std::bit_ceil(std::max<std::uint64_t>(64, blocks)) / 8;
}

// The source's blocks by hash, the first of equal ones only: an entry holds
// the hash's high half and the block's number.
class BlockTable {
 public:
  BlockTable(ByteSpan source, std::uint64_t stride, const ViewPages& pages)
      : source_(source),
        stride_(stride),
        slots_(SlotCount(BlockCount(source.size(), stride)), 0),
        filter_(FilterWords(BlockCount(source.size(), stride)), 0) {
    const std::uint64_t blocks = BlockCount(source.size(), stride);
    PassedPages passed(pages, source);
    for (std::uint64_t block = 0; block < blocks; ++block) {
      Insert(block);
      passed.Reached(block * stride_);
    }
  }

  // The source place of the block that holds the bytes at `at`, or -1, also
  // when more than one does: a block seen in many places does not tell which
  // of them the target's stretch continues, and the first one taken as a
  // cover would cost a copy more for every place it does not.
  std::int64_t Find(std::uint64_t hash, const std::uint8_t* at) const {
    const std::uint64_t mixed = Mix(hash);
    if (!(filter_[FilterWord(mixed)] >> (mixed >> 58) & 1)) return -1;
    const std::uint64_t tag = mixed >> 32;
    for (std::uint64_t slot = SlotOf(mixed);; slot = Next(slot)) {
      const std::uint64_t entry = slots_[slot];
      if (entry == 0) return -1;
      if (entry >> 32 != tag) continue;
      const std::uint64_t from = BlockOf(entry) * stride_;
      if (std::equal(at, at + kCoverBlock, source_.data() + from))
        return entry & kRepeated ? -1 : static_cast<std::int64_t>(from);
    }
  }

 private:
  void Insert(std::uint64_t block) {
    const std::uint8_t* at = source_.data() + block * stride_;
    const std::uint64_t mixed = Mix(HashBlock(at));
    filter_[FilterWord(mixed)] |= std::uint64_t{1} << (mixed >> 58);
    const std::uint64_t tag = mixed >> 32;
    for (std::uint64_t slot = SlotOf(mixed);; slot = Next(slot)) {
      const std::uint64_t entry = slots_[slot];
      if (entry == 0) {
        slots_[slot] = tag << 32 | (block + 1);
        return;
      }
      if (entry >> 32 == tag && std::equal(at, at + kCoverBlock, source_.data() + BlockOf(entry) * stride_)) {
        slots_[slot] |= kRepeated;
        return;
      }
    }
  }

  // The entry's low half: the block's number plus one (0: empty), and a bit
  // set when the source holds the block more than once.
  static constexpr std::uint64_t kRepeated = std::uint64_t{1} << 31;
  static std::uint64_t BlockOf(std::uint64_t entry) { return (entry & (kRepeated - 1)) - 1; }

  // The low half of the hash scaled to the slots, fewer than 2^32.
  std::uint64_t SlotOf(std::uint64_t mixed) const { return ((mixed & 0xFFFFFFFF) * slots_.size()) >> 32; }
  std::uint64_t Next(std::uint64_t slot) const { return slot + 1 == slots_.size() ? 0 : slot + 1; }
  // The filter's word for a hash: bits the slot does not use.
  std::uint64_t FilterWord(std::uint64_t mixed) const { return (mixed >> 32) & (filter_.size() - 1); }

  ByteSpan source_;
  std::uint64_t stride_;
  std::vector<std::uint64_t> slots_;
  // A bit or two a slot, in a table that stays in cache: most target
  // positions match no block and are turned away here.
  std::vector<std::uint64_t> filter_;
};

// How many more bytes past a cover's end are tried on its diagonal: an edit
// of a few bytes leaves the stretch after it on the same one.
constexpr std::uint64_t kResumeDistance = 16;

// How many bytes at `a` and `b` agree, `limit` at most, compared a step at a
// time: the pages of each whole step go back as soon as it is compared, so
// that a cover of most of a large file holds no more of either than a step.
std::uint64_t AgreeForward(const std::uint8_t* a, const std::uint8_t* b, std::uint64_t limit,
                           const ViewPages& pages) {
  std::uint64_t length = 0;
  while (length < limit) {
    const std::uint64_t piece = std::min(limit - length, kReleaseStep);
    const std::uint64_t agree = CommonPrefix(a + length, b + length, piece);
    length += agree;
    if (agree < piece) break;
    pages.Release({a + length - piece, static_cast<std::size_t>(piece)});
    pages.Release({b + length - piece, static_cast<std::size_t>(piece)});
  }
  return length;
}

}  // namespace

std::uint64_t CoverStride(std::uint64_t source_size) {
  std::uint64_t stride = kCoverBlock;
  while (source_size / stride > kMostBlocks) stride *= 2;
  return stride;
}

std::uint64_t CoverTableMemory(std::uint64_t source_size, std::uint64_t stride) {
  const std::uint64_t blocks = BlockCount(source_size, stride);
  return (SlotCount(blocks) + FilterWords(blocks)) * sizeof(std::uint64_t);
}

std::vector<CopyCandidate> FindCovers(ByteSpan source, ByteSpan target, const ViewPages& pages,
                                      std::uint64_t stride, std::uint64_t most_left) {
  std::vector<CopyCandidate> covers;
  if (source.size() < kCoverBlock || target.size() < kCoverBlock) return covers;
  const BlockTable table(source, stride == 0 ? CoverStride(source.size()) : stride, pages);
  const std::uint8_t* const t = target.data();
  const std::uint8_t* const s = source.data();
  const std::uint64_t size = target.size();
  PassedPages passed(pages, target);
  TouchedPages touched(pages, source);
  std::uint64_t covered_to = 0;  // the last cover's end
  std::uint64_t covered = 0;     // bytes in covers
  // A match at target `at` of source `from`, at least a block long, taken
  // from covered_to on as far as it goes either way.
  auto take = [&](std::uint64_t at, std::uint64_t from) {
    const std::uint64_t back_limit = std::min(at - covered_to, from);
    std::uint64_t back = 0;
    while (back < back_limit && t[at - back - 1] == s[from - back - 1]) ++back;
    const std::uint64_t forward =
        AgreeForward(t + at, s + from, std::min(size - at, source.size() - from), pages);
    covers.push_back({static_cast<std::uint32_t>(at - back), static_cast<std::uint32_t>(from - back),
                      static_cast<std::uint32_t>(back + forward)});
    covered_to = at + forward;
    covered += back + forward;
    passed.Reached(at - back);
    touched.Reached(covered_to);
  };
  // Where a block is found, the last cover's diagonal where it goes on as
  // far: the block may be one of many places that hold the bytes, and the
  // stretch before it came from the one it continues. Both are compared a
  // piece at a time, and no further than the shorter goes.
  auto Preferred = [&](std::uint64_t at, std::uint64_t from) {
    if (covers.empty()) return from;
    const CopyCandidate& last = covers.back();
    const std::uint64_t diagonal_from = std::uint64_t{last.source} + (at - last.target);
    if (diagonal_from == from || diagonal_from >= source.size()) return from;
    const std::uint64_t limit = std::min(size - at, source.size() - std::max(from, diagonal_from));
    for (std::uint64_t done = 0, piece = kCoverBlock; done < limit; done += piece, piece *= 2) {
      piece = std::min(piece, limit - done);
      const std::uint64_t on_diagonal = CommonPrefix(t + at + done, s + diagonal_from + done, piece);
      const std::uint64_t on_block = CommonPrefix(t + at + done, s + from + done, piece);
      if (on_diagonal != on_block) return on_diagonal > on_block ? diagonal_from : from;
      if (on_block < piece) break;
    }
    return diagonal_from;
  };
  std::uint64_t at = 0;
  while (at + kCoverBlock <= size) {
    // What lies before the last cover's end is left for good: a later cover
    // reaches back no further.
    if (covered_to - covered > most_left) return {};
    // Past a cover's end, its diagonal first.
    if (!covers.empty() && covered_to == at) {
      const CopyCandidate& last = covers.back();
      const std::uint64_t from = std::uint64_t{last.source} + (at - last.target);
      bool resumed = false;
      for (std::uint64_t skip = 1; skip <= kResumeDistance && at + skip + kCoverBlock <= size &&
                                   from + skip + kCoverBlock <= source.size();
           ++skip) {
        if (CommonPrefix(t + at + skip, s + from + skip, kCoverBlock) == kCoverBlock) {
          take(at + skip, from + skip);
          at = covered_to;
          resumed = true;
          break;
        }
      }
      if (resumed) continue;
    }
    std::uint64_t hash = HashBlock(t + at);
    for (;;) {
      const std::int64_t block = table.Find(hash, t + at);
      if (block >= 0) {
        take(at, Preferred(at, static_cast<std::uint64_t>(block)));
        at = covered_to;
        break;
      }
      if (at + kCoverBlock >= size) {
        at = size;
        break;
      }
      hash = (hash - kOutgoing * t[at]) * kRoll + t[at + kCoverBlock];
      ++at;
      passed.Reached(at);
      touched.Reached(at);
    }
  }
  if (size - covered > most_left) return {};
  return covers;
}

}  // namespace varnock::maker
