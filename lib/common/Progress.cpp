#include "common/Progress.h"

#include <algorithm>

#include "common/Crc32.h"
#include "common/LibraryErrors.h"

namespace varnock {

void Progress::Report(Stage stage, std::uint64_t done, std::uint64_t total) {
  if (sink_ == nullptr) return;
  const bool stage_begins = !reported_ || stage != last_stage_;
  if (!stage_begins && (!counts_bytes_ || done == last_done_)) return;
  const Clock::time_point now = Clock::now();
  if (!stage_begins && done != total &&
      now - last_time_ < std::chrono::milliseconds(1000) / kReportsPerSecond)
    return;
  reported_ = true;
  last_stage_ = stage;
  last_done_ = done;
  last_time_ = now;
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
