#include "make/Pipeline.h"

#include <algorithm>

namespace varnock::maker {

Pipeline::Pipeline(std::uint64_t target_size, unsigned threads, MatchChunk match)
    : target_size_(target_size),
      chunk_count_((target_size + kChunkSize - 1) / kChunkSize),
      match_(std::move(match)),
      results_(chunk_count_),
      matched_(chunk_count_, 0) {
  // The calling thread matches too, between segments, so the run goes on
  // with the helpers the OS lets start (a task limit may allow none); the
  // patch does not depend on their count.
  const std::uint64_t helpers = std::min<std::uint64_t>(threads > 0 ? threads - 1 : 0, chunk_count_);
  try {
    workers_.Start(helpers, [this] { Work(); });
  } catch (...) {
    // No destructor runs for a constructor that throws: the helpers started
    // must be stopped here.
    Stop();
    throw;
  }
}

Pipeline::~Pipeline() { Stop(); }

void Pipeline::Stop() noexcept {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  workers_.Join();
}

std::uint64_t Pipeline::ChunkEnd(std::uint64_t chunk) const {
  return std::min(target_size_, (chunk + 1) * kChunkSize);
}

bool Pipeline::MayTake() const {
  return next_chunk_ < chunk_count_ &&
         next_chunk_ < (parsed_segments_ + kSegmentsInFlight) * kChunksPerSegment;
}

void Pipeline::MatchOne(std::unique_lock<std::mutex>& lock) {
  const std::uint64_t chunk = next_chunk_++;
  std::vector<CopyCandidate> found;
  if (!spare_.empty()) {
    found = std::move(spare_.back());
    spare_.pop_back();
  }
  lock.unlock();
  std::exception_ptr error;
  try {
    match_(chunk * kChunkSize, ChunkEnd(chunk), found);
  } catch (...) {
    error = std::current_exception();
  }
  lock.lock();
  if (error) {
    if (!error_) error_ = error;
    stopping_ = true;
  } else {
    results_[chunk] = std::move(found);
    matched_[chunk] = 1;
    matched_bytes_ += ChunkEnd(chunk) - chunk * kChunkSize;
  }
  changed_.notify_all();
}

void Pipeline::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || MayTake() || next_chunk_ >= chunk_count_; });
    if (stopping_ || next_chunk_ >= chunk_count_) return;
    MatchOne(lock);
  }
}

void Pipeline::Run(const ParseSegment& parse, const Progress& progress) {
  const std::uint64_t segment_count = (chunk_count_ + kChunksPerSegment - 1) / kChunksPerSegment;
  std::unique_lock lock(mutex_);
  for (std::uint64_t segment = 0; segment < segment_count;) {
    if (error_) std::rethrow_exception(error_);
    const std::uint64_t first = segment * kChunksPerSegment;
    const std::uint64_t last = std::min(chunk_count_, first + kChunksPerSegment);
    const bool ready =
        std::all_of(matched_.begin() + static_cast<std::ptrdiff_t>(first),
                    matched_.begin() + static_cast<std::ptrdiff_t>(last), [](char m) { return m; });
    if (ready) {
      lock.unlock();
      const std::span<const std::vector<CopyCandidate>> candidates(results_.data() + first, last - first);
      parse(first * kChunkSize, ChunkEnd(last - 1), candidates);
      lock.lock();
      for (std::uint64_t chunk = first; chunk < last; ++chunk) spare_.push_back(std::move(results_[chunk]));
      parsed_segments_ = ++segment;
      changed_.notify_all();
    } else if (MayTake()) {
      MatchOne(lock);
    } else {
      changed_.wait(lock);
      continue;
    }
    const std::uint64_t matched = matched_bytes_;
    lock.unlock();
    progress(matched, std::min(target_size_, segment * kSegmentSize));
    lock.lock();
  }
}

}  // namespace varnock::maker
