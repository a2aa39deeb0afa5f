// What the raw parse (RawParse.h) and the container's parse (ContainerParse.h)
// share: the walk over the matcher's candidates in target order, the chain of
// cheapest arrivals their searches leave, and the step that turns that chain
// into instructions. The searches themselves stay apart: the raw one weighs
// open copies in raw patch bytes, the container's weighs runs that cross
// differing bytes in eighths of a compressed byte, and the raw one is the
// default's hot path, which one loop for both would slow by the other's tests.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "make/encode/PatchEncoder.h"
#include "make/index/Matcher.h"

namespace varnock::maker {

// An instruction a parse chose: target [start, end) copied from `source`
// on, or carried in the patch (kCarried).
struct Instruction {
  std::uint32_t start;
  std::uint32_t end;
  std::uint32_t source;
  bool operator==(const Instruction&) const = default;
};
inline constexpr std::uint32_t kCarried = 0xFFFFFFFF;

// Takes the instructions a parse chose, in target order.
using InstructionTaker = std::function<void(const Instruction&)>;

// Hands `instruction`, of `target`, to the encoder.
void WriteInstruction(ByteSpan target, const Instruction& instruction, PatchEncoder& encoder);

// Hands out a stretch's candidates (lists in target order, each starting in
// the stretch) a position at a time, the positions asked in increasing order.
class CandidateWalk {
 public:
  CandidateWalk(std::span<const std::vector<CopyCandidate>> candidates, std::uint64_t from)
      : list_(candidates.begin()), end_(candidates.end()), from_(from) {}

  // Calls `visit(candidate, diagonal)` for each candidate that starts at
  // target from + `position`, the diagonal being its source minus `position`.
  template <typename Visit>
  void At(std::uint64_t position, Visit&& visit) {
    for (; list_ != end_; ++list_, next_ = 0) {
      for (; next_ < list_->size() && (*list_)[next_].target == from_ + position; ++next_) {
        const CopyCandidate& candidate = (*list_)[next_];
        visit(candidate,
              std::int64_t{candidate.source} - static_cast<std::int64_t>(candidate.target - from_));
      }
      if (next_ < list_->size()) break;
    }
  }

 private:
  std::span<const std::vector<CopyCandidate>>::iterator list_;
  std::span<const std::vector<CopyCandidate>>::iterator end_;
  std::size_t next_ = 0;
  std::uint64_t from_;
};

// A parse of a stretch [from, to) of the target: the search fills arrivals_,
// one per position of the stretch and its end, and Emit hands out the
// instructions they chain into. Holds 8 bytes per target byte of the stretch.
class StretchParse {
 protected:
  // How the cheapest way to reach a position ends: the instruction's first
  // target position, and its source position or kLiteral. Emit turns the
  // first field into a link from each chosen end to the next one.
  struct Arrival {
    std::uint32_t start;
    std::uint32_t source;
  };
  static constexpr std::uint32_t kLiteral = kCarried;

  // Hands `take` the instructions that rebuild [from, to) along the chain of
  // arrivals_ back from its end, a chosen copy [start, end) from `source`
  // (positions from `from`) as `write_copy(start, end, source, add)` hands
  // it to `add`. Adjacent literal runs, and copies that continue one
  // another, become one instruction: never more bytes than two.
  template <typename WriteCopy>
  void Emit(std::uint64_t from, std::uint64_t to, const InstructionTaker& take, WriteCopy&& write_copy) {
    const auto length = static_cast<std::uint32_t>(to - from);
    if (length == 0) return;
    // Turn the chain of ends, which runs back from the stretch's end, around.
    std::uint32_t following = 0;
    for (std::uint32_t end = length; end > 0;) {
      const std::uint32_t start = arrivals_[end].start;
      arrivals_[end].start = following;
      following = end;
      end = start;
    }
    std::uint64_t pending_start = 0;
    std::uint64_t pending_end = 0;
    std::uint32_t pending_source = kLiteral;
    auto flush = [&] {
      if (pending_end == pending_start) return;
      take({static_cast<std::uint32_t>(from + pending_start), static_cast<std::uint32_t>(from + pending_end),
            pending_source});
    };
    auto add = [&](std::uint32_t start, std::uint32_t end, std::uint32_t source) {
      const bool continues =
          source == kLiteral
              ? pending_source == kLiteral
              : pending_source != kLiteral && pending_source + (pending_end - pending_start) == source;
      if (!continues) {
        flush();
        pending_start = start;
        pending_source = source;
      }
      pending_end = end;
    };
    for (std::uint32_t start = 0, end = following; start < length;) {
      const Arrival arrival = arrivals_[end];
      if (arrival.source == kLiteral)
        add(start, end, kLiteral);
      else
        write_copy(start, end, arrival.source, add);
      start = end;
      end = arrival.start;
    }
    flush();
  }

  std::vector<Arrival> arrivals_;
};

}  // namespace varnock::maker
