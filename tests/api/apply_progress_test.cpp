// Guards against progress that runs backwards, skips its ends or reports too
// often, and against a cancelled run that leaves anything but a prefix of the
// right target.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "api/ApiSupport.h"

namespace varnock {
namespace {

using testing::Bytes;
using testing::TempDir;

using Clock = std::chrono::steady_clock;

struct Report {
  std::int32_t stage;
  std::uint64_t done;
  std::uint64_t total;
  Clock::time_point when;
};

// Records every report; stops the run at report number `stop_at` (counted
// from 0), and sleeps at each so that the rate limit lets the next one through
// when `slow` is set.
struct Recorder {
  std::vector<Report> reports;
  std::size_t stop_at = SIZE_MAX;
  bool slow = false;

  static std::int32_t Callback(void* user_data, std::int32_t stage, std::uint64_t done, std::uint64_t total) {
    auto* self = static_cast<Recorder*>(user_data);
    self->reports.push_back({stage, done, total, Clock::now()});
    if (self->slow) std::this_thread::sleep_for(std::chrono::milliseconds(1000 / 25));
    return self->reports.size() - 1 == self->stop_at ? 1 : 0;
  }
};

// A 4 MiB source and a 5 MiB target of copies and literals: long enough for
// several reports in each stage of a slow run.
struct LargeCase {
  Bytes source = testing::Pattern(4 << 20, 3);
  Bytes target;
  Bytes patch;

  LargeCase() {
    testing::PatchFields fields;
    fields.source_crc = Crc32(source);
    std::vector<Bytes> instructions;
    for (std::uint32_t i = 0; i < 20; ++i) {
      const std::uint32_t offset = (i * 977u << 10) % (3u << 20);
      instructions.push_back(testing::Copy(0xFE, offset, 256 << 10));
      target.insert(target.end(), source.begin() + offset, source.begin() + offset + (256 << 10));
      Bytes literal = testing::Pattern(200, i);
      instructions.push_back(testing::ShortLiteral(literal));
      target.insert(target.end(), literal.begin(), literal.end());
    }
    fields.target_crc = Crc32(target);
    patch = testing::BuildPatch(fields, {});
    patch.pop_back();  // the stop instruction goes after the stream
    for (const Bytes& instruction : instructions)
      patch.insert(patch.end(), instruction.begin(), instruction.end());
    patch.push_back(0x00);
  }
};

const LargeCase& Large() {
  static const LargeCase large;
  return large;
}

// Stages in order, each from 0 to its total without going back, with the
// totals a host can use: the source's size, then the target's twice.
void ExpectWellFormed(const std::vector<Report>& reports, std::uint64_t source_size,
                      std::uint64_t target_size) {
  const std::vector<std::pair<std::int32_t, std::uint64_t>> stages = {{VARNOCK_STAGE_CHECKSUM, source_size},
                                                                      {VARNOCK_STAGE_WRITING, target_size},
                                                                      {VARNOCK_STAGE_VERIFYING, target_size}};
  std::size_t at = 0;
  for (const auto& [stage, total] : stages) {
    SCOPED_TRACE(stage);
    ASSERT_LT(at, reports.size());
    EXPECT_EQ(reports[at].stage, stage);
    EXPECT_EQ(reports[at].done, 0u);
    std::uint64_t last = 0;
    for (; at < reports.size() && reports[at].stage == stage; ++at) {
      EXPECT_EQ(reports[at].total, total);
      EXPECT_GE(reports[at].done, last);
      last = reports[at].done;
    }
    EXPECT_EQ(last, total);
  }
  EXPECT_EQ(at, reports.size());
}

// Between the first and the last report of a stage, reports come no closer
// than 1/30 s apart (less a little for the time the callback takes to see it).
void ExpectRateLimited(const std::vector<Report>& reports) {
  for (std::size_t i = 1; i < reports.size(); ++i) {
    const Report& report = reports[i];
    if (report.stage != reports[i - 1].stage || report.done == report.total) continue;
    EXPECT_GE(report.when - reports[i - 1].when, std::chrono::milliseconds(28)) << "report " << i;
  }
}

class ApplyProgress : public ::testing::Test {
 protected:
  testing::Context context_ = testing::NewContext();
  TempDir directory_;
};

TEST_F(ApplyProgress, EveryWayGoesThroughTheStagesFromZeroToTheTotal) {
  for (bool slow : {false, true}) {
    for (int way = 0; way < 4; ++way) {
      SCOPED_TRACE(::testing::Message() << "slow " << slow << ", way " << way);
      Recorder recorder;
      recorder.slow = slow;
      varnock_set_progress(context_.get(), Recorder::Callback, &recorder);
      testing::Outcome outcome =
          way == 0 ? testing::ApplyMemory(context_.get(), Large().source, Large().patch)
          : way == 1
              ? testing::ApplyToBuffer(context_.get(), Large().source, Large().patch, Large().target.size())
          : way == 2 ? testing::ApplyFiles(context_.get(), directory_, Large().source, Large().patch)
                     : testing::ApplyRanges(context_.get(), Large().source, Large().patch);
      ASSERT_EQ(outcome.code, VARNOCK_OK) << outcome.message;
      EXPECT_EQ(outcome.target, Large().target);
      ExpectWellFormed(recorder.reports, Large().source.size(), Large().target.size());
      // A slow host sees the writing stage move; a fast one is spared the calls.
      const auto writing = std::count_if(recorder.reports.begin(), recorder.reports.end(),
                                         [](const Report& r) { return r.stage == VARNOCK_STAGE_WRITING; });
      if (slow) {
        EXPECT_GT(writing, 2);
      }
      ExpectRateLimited(recorder.reports);
    }
  }
}

TEST_F(ApplyProgress, CancellingAtAnyStageLeavesAPrefixOfTheTarget) {
  auto apply = [&](int way) {
    return way == 0   ? testing::ApplyFiles(context_.get(), directory_, Large().source, Large().patch)
           : way == 1 ? testing::ApplyMemory(context_.get(), Large().source, Large().patch)
                      : testing::ApplyRanges(context_.get(), Large().source, Large().patch);
  };
  std::set<std::int32_t> cancelled_stages;
  for (int way = 0; way < 3; ++way) {
    // A slow run's reports: the first two of each stage and the very last are
    // where the runs below stop.
    Recorder full;
    full.slow = true;
    varnock_set_progress(context_.get(), Recorder::Callback, &full);
    ASSERT_EQ(apply(way).code, VARNOCK_OK);
    std::set<std::size_t> stop_points = {full.reports.size() - 1};
    for (std::size_t i = 0; i < full.reports.size(); ++i) {
      if (i == 0 || full.reports[i].stage != full.reports[i - 1].stage) stop_points.insert({i, i + 1});
    }
    for (std::size_t stop_at : stop_points) {
      SCOPED_TRACE(::testing::Message() << "way " << way << ", cancelled at report " << stop_at);
      Recorder recorder;
      recorder.slow = true;
      recorder.stop_at = stop_at;
      varnock_set_progress(context_.get(), Recorder::Callback, &recorder);
      testing::Outcome outcome = apply(way);
      EXPECT_EQ(outcome.code, VARNOCK_ERROR_CANCELLED);
      EXPECT_EQ(outcome.message, "Cancelled");
      ASSERT_EQ(recorder.reports.size(), stop_at + 1);  // nothing is reported after the stop
      ASSERT_LE(outcome.target.size(), Large().target.size());
      EXPECT_TRUE(std::equal(outcome.target.begin(), outcome.target.end(), Large().target.begin()));
      // Cancelled before the first run, before the run after `done` bytes, or after the last.
      const Report& last = recorder.reports.back();
      const std::uint64_t expected_size = last.stage == VARNOCK_STAGE_CHECKSUM  ? 0
                                          : last.stage == VARNOCK_STAGE_WRITING ? last.done
                                                                                : Large().target.size();
      EXPECT_EQ(outcome.target.size(), expected_size);
      cancelled_stages.insert(last.stage);
    }
  }
  EXPECT_EQ(cancelled_stages.size(), 3u);
}

#ifndef _WIN32
// Where share modes do not keep a file whole, a host may shorten one under the
// run: read, not mapped, it ends the run with an error value, not a fault.
TEST_F(ApplyProgress, ATargetShortenedWhileItIsReadBackIsAnErrorInReadMode) {
  ASSERT_EQ(varnock_set_input_access(context_.get(), VARNOCK_INPUTS_READ), VARNOCK_OK);
  const std::string target = directory_.File("target");
  // Shortens the target once its reading back has begun, at the second report
  // of that stage (the first one slow, so that the rate limit lets it through).
  struct Shortener {
    std::string target;
    int verifying_reports = 0;
    static std::int32_t Callback(void* user_data, std::int32_t stage, std::uint64_t, std::uint64_t) {
      auto* self = static_cast<Shortener*>(user_data);
      if (stage != VARNOCK_STAGE_VERIFYING) return 0;
      if (++self->verifying_reports == 1) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (self->verifying_reports == 2) std::filesystem::resize_file(self->target, 100);
      return 0;
    }
  } shortener{target};
  varnock_set_progress(context_.get(), Shortener::Callback, &shortener);
  testing::Outcome outcome = testing::ApplyFiles(context_.get(), directory_, Large().source, Large().patch);
  EXPECT_EQ(outcome.code, VARNOCK_ERROR_INPUT_SHORTENED);
  EXPECT_EQ(outcome.message, "Input file \"" + target + "\" was shortened while it was being read");
}

// The source, read by ranges, is read again after its checksum's pass: one
// shortened in between ends the run with an error value too, with a prefix
// of the target written.
TEST_F(ApplyProgress, ASourceShortenedWhileTheTargetIsWrittenIsAnErrorInReadMode) {
  ASSERT_EQ(varnock_set_input_access(context_.get(), VARNOCK_INPUTS_READ), VARNOCK_OK);
  ASSERT_EQ(varnock_set_source_cache(context_.get(), 1), VARNOCK_OK);
  const std::string source = directory_.File("source");
  struct Shortener {
    std::string source;
    static std::int32_t Callback(void* user_data, std::int32_t stage, std::uint64_t done, std::uint64_t) {
      if (stage == VARNOCK_STAGE_WRITING && done == 0)
        std::filesystem::resize_file(static_cast<Shortener*>(user_data)->source, 100);
      return 0;
    }
  } shortener{source};
  varnock_set_progress(context_.get(), Shortener::Callback, &shortener);
  testing::Outcome outcome = testing::ApplyFiles(context_.get(), directory_, Large().source, Large().patch);
  EXPECT_EQ(outcome.code, VARNOCK_ERROR_INPUT_SHORTENED);
  EXPECT_EQ(outcome.message, "Input file \"" + source + "\" was shortened while it was being read");
  EXPECT_TRUE(outcome.target.empty());
  ASSERT_EQ(varnock_set_source_cache(context_.get(), 0), VARNOCK_OK);
}
#endif

}  // namespace
}  // namespace varnock
