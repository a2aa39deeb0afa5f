// Where stretches of the source went in the target, learnt from a
// container's copies block by block. Maker and decoder learn the same
// stretches from the same instructions, so the container carries none of
// it: a copy and the copies after it on its diagonal (with the literals
// between them, which the difference transform already aligns there) say
// that a stretch of the source moved by one shift.
//
// A source byte keeps the first stretch that covered it, in patch order, so
// that what a block is predicted from never changes once learnt.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace varnock::container {

// Source [source, end) lies at target [source + shift, end + shift).
struct Stretch {
  std::uint64_t source;
  std::uint64_t end;
  std::int64_t shift;
  bool operator==(const Stretch&) const = default;
};

// At most this many stretches are held, 24 bytes each; a block with more
// stretches than may still be held adds none, so that a decoder's memory and
// time stay bounded whatever the patch.
inline constexpr std::size_t kMostStretches = std::size_t{1} << 20;

// Gathers a block's stretches from its copies, in patch order; past
// kMostStretches of them it keeps no more (the block then adds none).
class StretchCollector {
 public:
  // A copy of `length` bytes from source `offset`, with the cursor at
  // `cursor` and the target at `target` before it.
  void Copy(std::uint64_t offset, std::uint64_t length, std::uint64_t cursor, std::uint64_t target);
  // The block's stretches, the one still open included (a later block may
  // lengthen it); the collector keeps that one open.
  std::vector<Stretch> TakeBlock();

 private:
  std::vector<Stretch> block_;
  std::optional<Stretch> open_;
};

class Equivalences {
 public:
  // Adds `stretches` (in patch order) where they cover source bytes that no
  // stretch held before covers; nothing where the held ones and these
  // together pass kMostStretches.
  void Learn(std::span<const Stretch> stretches);

  // Target minus source for source byte `at`, if a stretch covers it.
  std::optional<std::int64_t> ShiftAt(std::uint64_t at) const;

  std::size_t size() const noexcept { return held_.size(); }

 private:
  std::vector<Stretch> held_;  // sorted by source, disjoint
};

}  // namespace varnock::container
