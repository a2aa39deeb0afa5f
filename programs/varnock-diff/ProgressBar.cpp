#include "programs/varnock-diff/ProgressBar.h"

#include <cstdio>

#include "internal/Platform.h"

namespace varnock::diff {
namespace {

constexpr int kBarWidth = 40;

const char* StageName(MakerStage stage) {
  switch (stage) {
    case MakerStage::kIndexing:
      return "indexing";
    case MakerStage::kMatching:
      return "matching";
    case MakerStage::kWriting:
      return "writing";
    case MakerStage::kVerifying:
      return "verifying";
  }
  return "";
}

std::string BarLine(MakerStage stage, std::uint64_t done, std::uint64_t total) {
  const std::uint64_t permille = total == 0 ? 1000 : std::min<std::uint64_t>(done, total) * 1000 / total;
  const int filled = static_cast<int>(permille * kBarWidth / 1000);
  char line[96];
  std::snprintf(line, sizeof line, "\r%-10s [%-*s] %3d%%", StageName(stage), kBarWidth,
                std::string(static_cast<std::size_t>(filled), '#').c_str(), static_cast<int>(permille / 10));
  return line;
}

}  // namespace

void WriteStandardError(std::string_view text) {
  platform::WriteStandardOutput(platform::StandardErrorHandle(), text.data(), text.size());
}

void ProgressBar::Show(MakerStage stage, std::uint64_t done, std::uint64_t total) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - start_ < kQuietStart) return;
  if (drawn_ && stage == last_stage_ && now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  last_stage_ = stage;
  std::string line = BarLine(stage, done, total);
  // A frame like the one shown would only make the terminal work.
  if (drawn_ && line == last_line_) return;
  Draw(line);
  last_line_ = std::move(line);
}

void ProgressBar::Clear() {
  if (!drawn_) return;
  Draw("\r" + std::string(BarLine(last_stage_, 0, 0).size(), ' ') + "\r");
  drawn_ = false;
  last_line_.clear();
}

void ProgressBar::Draw(const std::string& line) {
  WriteStandardError(line);
  drawn_ = true;
}

}  // namespace varnock::diff
