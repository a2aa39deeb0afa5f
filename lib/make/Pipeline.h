// Matches the target in fixed stretches on several threads while the calling
// thread parses and writes them in order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include "make/HelperThreads.h"
#include "make/index/Matcher.h"

namespace varnock::maker {

// The target is matched in chunks and parsed in segments of whole chunks.
// Both sizes are fixed, so the patch does not depend on the thread count.
inline constexpr std::uint64_t kChunkSize = std::uint64_t{1} << 18;
inline constexpr std::uint64_t kChunksPerSegment = 2;
inline constexpr std::uint64_t kSegmentSize = kChunkSize * kChunksPerSegment;
// Segments whose candidates may be held at once: the one being parsed and the
// next, which the other threads match meanwhile.
inline constexpr std::uint64_t kSegmentsInFlight = 2;

class Pipeline {
 public:
  // Fills the vector with the candidates of [from, to); the vector may hold
  // another chunk's, and its buffer is meant to be reused.
  using MatchChunk =
      std::function<void(std::uint64_t from, std::uint64_t to, std::vector<CopyCandidate>& candidates)>;
  // Takes the candidates of [from, to), a segment, in chunk order.
  using ParseSegment =
      std::function<void(std::uint64_t from, std::uint64_t to, std::span<const std::vector<CopyCandidate>>)>;
  // Called on the calling thread after each chunk matched and each segment parsed.
  using Progress = std::function<void(std::uint64_t matched, std::uint64_t parsed)>;

  Pipeline(std::uint64_t target_size, unsigned threads, MatchChunk match);
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Runs to the end of the target. Raises what a matching thread raised.
  void Run(const ParseSegment& parse, const Progress& progress);

 private:
  // Ends and joins the helper threads.
  void Stop() noexcept;
  void Work();
  bool MayTake() const;  // with the lock held
  void MatchOne(std::unique_lock<std::mutex>& lock);
  std::uint64_t ChunkEnd(std::uint64_t chunk) const;

  const std::uint64_t target_size_;
  const std::uint64_t chunk_count_;
  const MatchChunk match_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<CopyCandidate>> results_;
  // Vectors of chunks parsed, kept for the next chunks: the same few buffers
  // serve the whole run, whatever thread fills them. Buffers freed and taken
  // anew on other threads would stay in the allocator's per-thread pools, and
  // the memory held would grow with the thread count.
  std::vector<std::vector<CopyCandidate>> spare_;
  std::vector<char> matched_;
  std::uint64_t next_chunk_ = 0;
  std::uint64_t parsed_segments_ = 0;
  std::uint64_t matched_bytes_ = 0;
  bool stopping_ = false;
  std::exception_ptr error_;
  HelperThreads workers_;
};

}  // namespace varnock::maker
