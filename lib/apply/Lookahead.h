// How far the two hot decoding loops run ahead of their writes, and what
// they ask of the memory meanwhile.
#pragma once

#include <cstdint>
#include <cstddef>

namespace varnock::decode {

// Far enough ahead for a random source read to arrive from memory while the
// runs before it are written; measured in bench/README.md.
inline constexpr std::size_t kLookahead = 32;

// How many bytes of a copy's head are asked of the memory ahead of its write:
// its first and last cache line.
inline constexpr std::uint64_t kPrefetchedHead = 128;

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
