// Guards against progress that floods its host, or that drops the first or
// the last report of a stage.
#include "common/Progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "common/Errors.h"

namespace varnock {
namespace {

struct Counted : ProgressSink {
  std::vector<std::uint64_t> done;
  std::size_t stop_after = SIZE_MAX;
  bool Report(Stage, std::uint64_t d, std::uint64_t) override {
    done.push_back(d);
    return done.size() < stop_after;
  }
};

TEST(Progress, ManyQuickReportsReachTheHostAtMostThirtyTimesASecondPlusTheEnds) {
  Counted sink;
  Progress progress(&sink);
  const auto start = std::chrono::steady_clock::now();
  constexpr std::uint64_t kTotal = 2'000'000;
  for (std::uint64_t done = 0; done <= kTotal; ++done) progress.Report(Stage::kWriting, done, kTotal);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const auto allowed = 2 + elapsed / (std::chrono::milliseconds(1000) / Progress::kReportsPerSecond);
  EXPECT_LE(sink.done.size(), static_cast<std::size_t>(allowed));
  ASSERT_GE(sink.done.size(), 2u);
  EXPECT_EQ(sink.done.front(), 0u);
  EXPECT_EQ(sink.done.back(), kTotal);
}

TEST(Progress, EachStageBeginsWithAReportAndTheSameCountIsNeverToldTwice) {
  Counted sink;
  Progress progress(&sink);
  for (Stage stage : {Stage::kChecksum, Stage::kWriting, Stage::kVerifying}) {
    progress.Report(stage, 0, 0);
    progress.Report(stage, 0, 0);
  }
  EXPECT_EQ(sink.done.size(), 3u);
}

TEST(Progress, WithoutByteCountsOnlyStageBeginningsAreTold) {
  Counted sink;
  Progress progress(&sink, false);
  progress.Report(Stage::kChecksum, 0, 10);
  progress.Report(Stage::kChecksum, 10, 10);
  progress.Report(Stage::kWriting, 0, 0);
  EXPECT_EQ(sink.done, (std::vector<std::uint64_t>{0, 0}));
}

TEST(Progress, HostThatSaysStopRaisesCancelled) {
  Counted sink;
  sink.stop_after = 2;
  Progress progress(&sink);
  progress.Report(Stage::kChecksum, 0, 5);
  try {
    progress.Report(Stage::kWriting, 0, 5);
    FAIL() << "no error";
  } catch (const Exception& error) {
    EXPECT_EQ(error.Kind(), ErrorKind::kCancelled);
    EXPECT_EQ(error.Message(), "Cancelled");
  }
}

}  // namespace
}  // namespace varnock
