#include "common/Progress.h"

#include <algorithm>

#include "common/Crc32.h"
#include "common/LibraryErrors.h"

namespace varnock {

void Progress::Report(Stage stage, std::uint64_t done, std::uint64_t total) {
  if (sink_ == nullptr) return;
  // The first count of a stage may come late, from work already under way.
  if (!reported_ || stage != last_stage_) Tell(stage, 0, total);
  if (!counts_bytes_) return;
  // A count is the caller's, made from bytes a host may change between two
  // passes over them; what the host is told stays within 0 to the total and
  // never goes back.
  done = std::max(std::min(done, total), last_done_);
  if (done == last_done_) return;
  if (done != total && Clock::now() - last_time_ < std::chrono::milliseconds(1000) / kReportsPerSecond)
    return;
  Tell(stage, done, total);
}

void Progress::Tell(Stage stage, std::uint64_t done, std::uint64_t total) {
  reported_ = true;
  last_stage_ = stage;
  last_done_ = done;
  last_time_ = Clock::now();
  if (!sink_->Report(stage, done, total)) throw ECancelled();
}

std::uint32_t Crc32WithProgress(std::span<const std::uint8_t> bytes, Stage stage, Progress& progress) {
  if (!progress.CountsBytes()) return Crc32(bytes);
  // Small enough for a smooth bar on a slow disk, large enough to cost nothing.
  constexpr std::size_t kPiece = 1 << 20;
  std::uint32_t crc = 0;
  for (std::size_t done = 0;;) {
    progress.Report(stage, done, bytes.size());
    if (done == bytes.size()) return crc;
    const std::size_t count = std::min(kPiece, bytes.size() - done);
    crc = Crc32(bytes.subspan(done, count), crc);
    done += count;
  }
}

}  // namespace varnock
