// The maker's progress as one line on standard error, redrawn in place. It
// appears only once a run has lasted long enough for it to help, and is
// redrawn at most about 20 times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "internal/Make.h"

namespace varnock::diff {

class ProgressBar {
 public:
  // A bar that is not enabled draws nothing.
  void Enable() {
    enabled_ = true;
    start_ = Clock::now();
  }

  void Show(MakerStage stage, std::uint64_t done, std::uint64_t total);

  // Erases the bar, before a message or at the end of the run.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kQuietStart{1000};
  static constexpr std::chrono::milliseconds kRedrawInterval{50};

  void Draw(const std::string& line);

  bool enabled_ = false;
  bool drawn_ = false;
  Clock::time_point start_;
  Clock::time_point last_draw_;
  MakerStage last_stage_ = MakerStage::kIndexing;
  std::string last_line_;
};

// Writes `text` to standard error in one write; safe in a signal handler when
// `text` needs no allocation.
void WriteStandardError(std::string_view text);

}  // namespace varnock::diff
