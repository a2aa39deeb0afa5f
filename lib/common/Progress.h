// How far a library call has come, told to the host at a bearable rate, and
// the host's answer, which may stop the call.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

namespace varnock {

// The numbers are the public VARNOCK_STAGE_* values.
enum class Stage : std::int32_t { kChecksum = 1, kWriting, kVerifying, kIndexing, kMatching };

// Where progress goes: the host's callback, or the program's step markers.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  // False stops the call.
  virtual bool Report(Stage stage, std::uint64_t done, std::uint64_t total) = 0;
};

class Progress {
 public:
  // At most this many reports a second besides the first and last of a stage.
  static constexpr int kReportsPerSecond = 30;

  // `sink` may be null: nothing is reported and nothing is counted. Without
  // `counts_bytes` a sink is told when each stage begins, with totals of 0,
  // and the call spends nothing on counting.
  explicit Progress(ProgressSink* sink, bool counts_bytes = true)
      : sink_(sink), counts_bytes_(sink != nullptr && counts_bytes) {}

  // Tells the sink when `stage` differs from the last one told, when `done`
  // reaches `total`, and otherwise when enough time has passed since the last
  // report; never the same stage and count twice. Raises ECancelled when the
  // sink says stop.
  void Report(Stage stage, std::uint64_t done, std::uint64_t total);

  // Whether the call should spend time on byte counts.
  bool CountsBytes() const noexcept { return counts_bytes_; }

 private:
  using Clock = std::chrono::steady_clock;

  ProgressSink* sink_;
  bool counts_bytes_;
  bool reported_ = false;
  Stage last_stage_ = Stage::kChecksum;
  std::uint64_t last_done_ = 0;
  Clock::time_point last_time_{};
};

// The CRC-32 of `bytes`, taken a piece at a time with `stage`'s progress
// reported from 0 to the size when the progress counts bytes.
std::uint32_t Crc32WithProgress(std::span<const std::uint8_t> bytes, Stage stage, Progress& progress);

}  // namespace varnock
