// What the two hot decoding loops share: how far they run ahead of their
// writes, the ring that holds what they decoded meanwhile, what they ask of
// the memory, and when they tell their progress. The loops themselves stay
// apart: over spans a run stays where it lies, while over ranges it is only
// lent until the next read, which that loop tracks (RangedStream.cpp); made
// one, every apply's hot path would carry that tracking.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "apply/InstructionStream.h"

namespace varnock::decode {

// Far enough ahead for a random source read to arrive from memory while the
// runs before it are written; measured in bench/README.md.
inline constexpr std::size_t kLookahead = 32;

// How many bytes of a copy's head are asked of the memory ahead of its write:
// its first and last cache line.
inline constexpr std::uint64_t kPrefetchedHead = 128;

// The instructions decoded and not yet written, oldest first, in a ring of
// kLookahead entries.
template <typename Entry>
using Ahead = std::array<Entry, kLookahead>;

// Which entries of the ring are taken. Kept apart from the ring, so that the
// compiler holds both counts in registers: inside one object with the array
// they went to memory at every step, 6% slower over spans.
class AheadSlots {
 public:
  bool Empty() const noexcept { return added_ == taken_; }
  bool Full() const noexcept { return added_ - taken_ >= kLookahead; }
  // How many entries were ever added and taken, to tell which ones came
  // before some event.
  std::size_t Added() const noexcept { return added_; }
  std::size_t Taken() const noexcept { return taken_; }
  // The slot of the next entry, when not Full().
  std::size_t Add() noexcept { return added_++ % kLookahead; }
  // The slot of the oldest entry, when not Empty(); it stays until the next Add.
  std::size_t Take() noexcept { return taken_++ % kLookahead; }

 private:
  std::size_t added_ = 0;
  std::size_t taken_ = 0;
};

// Tells a StreamProgress the target bytes handed over before each run, once
// at least kProgressStep more went out since it was last told: before the
// run, so that a stop leaves exactly the runs before it.
class ProgressTicks {
 public:
  void BeforeRun(std::uint32_t length, const StreamProgress& progress) {
    if (produced_ >= next_report_) {
      progress(produced_);
      next_report_ = produced_ + kProgressStep;
    }
    produced_ += length;
  }

 private:
  std::uint64_t produced_ = 0;
  std::uint64_t next_report_ = kProgressStep;
};

}  // namespace varnock::decode

// Asks the memory for the first and the last cache line of the head of the
// `length` bytes at `bytes`, a copy's source whose write comes kLookahead
// instructions later; the hardware follows a long run by itself. A macro:
// GCC drops a void function that only prefetches, taking it as pure.
#if defined(__GNUC__)
#define VARNOCK_PREFETCH_HEAD(bytes, length)                                                                \
  do {                                                                                                      \
    if ((length) > 0) {                                                                                     \
      __builtin_prefetch(bytes);                                                                            \
      __builtin_prefetch(                                                                                   \
          (bytes) +                                                                                         \
          ((length) < ::varnock::decode::kPrefetchedHead ? (length) : ::varnock::decode::kPrefetchedHead) - \
          1);                                                                                               \
    }                                                                                                       \
  } while (false)
#else
#define VARNOCK_PREFETCH_HEAD(bytes, length) \
  do {                                       \
  } while (false)
#endif
