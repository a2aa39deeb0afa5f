#include "make/Maker.h"

#include <algorithm>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "common/Errors.h"
#include "common/Sizes.h"
#include "make/IndexPlan.h"
#include "make/Pipeline.h"
#include "make/ViewPages.h"
#include "make/encode/PatchEncoder.h"
#include "make/index/CoveredMatch.h"
#include "make/index/Matcher.h"
#include "make/index/SourceIndex.h"
#include "make/parse/SegmentParse.h"
#include "platform/platform.h"

namespace varnock {
namespace {

// With --compressible, a copy shorter than 32 bytes is kept only within 64 KiB
// of the diagonal of the last longer one: a compressor finds the repeats among
// literals that stray short copies would break up, and their offsets cost it
// more than the literals. Tuned with xz -9 on real pairs: on the first 48 MiB
// of chromium this took a quarter off the compressed patch, on libc, perf and
// postgres up to 2%. Weighing every copy's bytes more in the parse did less on
// chromium and cost elsewhere; so did a plain higher shortest copy. For a
// container only the raw parse keeps to this rule: the container's parse
// weighs a copy's offset by its distance from the cursor, and the short copies
// the rule drops took 7% off postgres's container.
constexpr std::uint32_t kShortestUnanchoredCopy = 32;
constexpr std::uint64_t kAnchorDistance = 0x10000;

void CheckSize(ByteSpan input, const char* name) {
  if (input.size() > kLargestFile) {
    throw Exception(ErrorKind::kTooLarge,
                    std::string("The ") + name + " is " + std::to_string(input.size()) +
                        " bytes long; patches hold files below 4 GiB (4294967296 bytes)");
  }
}

void CheckMemoryLimit(std::uint64_t limit, std::uint64_t least) {
  if (limit == 0 || limit >= least) return;
  const std::uint64_t kib = (least + 1023) / 1024;
  throw Exception(ErrorKind::kBadArgument,
                  "The memory limit of " + std::to_string(limit) +
                      " bytes is below the least the maker needs for these inputs: " + std::to_string(least) +
                      " bytes (" + std::to_string(kib) + "K)");
}

unsigned ThreadCount(const MakerOptions& options) {
  if (options.threads > 0) return options.threads;
  return std::max(1u, std::thread::hardware_concurrency());
}

// The index for this run: forced, within the limit, or the default where the
// machine can give it.
maker::IndexPlan ChoosePlan(ByteSpan source, std::uint64_t target_size, const MakerOptions& options,
                            MakerReport& report) {
  using Index = MakerOptions::Index;
  if (options.index != Index::kChosen) {
    return maker::PlanOfKind(
        options.index == Index::kSuffix ? maker::IndexKind::kSuffix : maker::IndexKind::kSampled,
        source.size(), target_size);
  }
  const maker::IndexPlan chosen = maker::PlanOfLevel(options.level, source.size(), target_size);
  if (options.memory_limit != 0) {
    // Below the default level the level's own index where the limit holds it.
    const maker::IndexPlan plan = options.level < kDefaultMakerLevel && chosen.memory <= options.memory_limit
                                      ? chosen
                                      : maker::PlanWithin(source.size(), target_size, options.memory_limit);
    report.used_small_index = plan.kind == maker::IndexKind::kSampled &&
                              (chosen.kind == maker::IndexKind::kSuffix || plan.memory < chosen.memory);
    return plan;
  }
  const maker::IndexPlan& plan = chosen;
  const std::optional<std::uint64_t> available =
      options.available_memory ? options.available_memory : platform::AvailableMemory();
  if (!available || plan.memory <= *available) return plan;
  const std::uint64_t least = MakerLeastMemory(source.size(), target_size);
  if (*available < least) {
    throw Exception(ErrorKind::kOutOfMemory,
                    "Making this patch needs " + Mebibytes(plan.memory, Rounding::kUp) +
                        " of memory besides the inputs, at least " + Mebibytes(least, Rounding::kUp) +
                        " with a smaller index; this machine can give " +
                        Mebibytes(*available, Rounding::kUp));
  }
  report.machine_too_small = true;
  report.memory_needed = plan.memory;
  report.memory_available = *available;
  return maker::PlanWithin(source.size(), target_size, *available);
}

std::unique_ptr<maker::SourceIndex> BuildIndex(ByteSpan source, const maker::IndexPlan& plan,
                                               const MakerOptions& options, const ProgressReport& progress) {
  const StageProgress indexing = [&](std::uint64_t done, std::uint64_t total) {
    if (progress) progress(Stage::kIndexing, done, total);
  };
  if (plan.kind == maker::IndexKind::kSuffix)
    return maker::MakeSuffixIndex(source, ThreadCount(options), indexing);
  return maker::MakeSampledIndex(source, plan.sampled_budget, ThreadCount(options), indexing);
}

// Hands the literal target to the encoder when the source offers nothing.
bool NothingToMatch(ByteSpan source, ByteSpan target) {
  return source.size() < maker::kShortestMatch || target.size() < maker::kShortestMatch;
}

MakerReport Make(ByteSpan source, ByteSpan target, const MakerOptions& options, PatchSink& sink,
                 const ProgressReport& progress) {
  MakerReport report;
  const maker::ViewPages pages(options.inputs_are_file_views);
  const auto release_target = [&](std::uint64_t from, std::uint64_t to) {
    pages.Release(target.subspan(from, to - from));
  };
  // Each a piece at a time, handed back once read: neither input is held
  // whole, even here.
  report.source_crc = maker::Crc32Passing(pages, source);
  report.target_crc = maker::Crc32Passing(pages, target);
  PatchEncoder encoder(sink, report.source_crc, report.target_crc);
  if (NothingToMatch(source, target)) {
    encoder.Literal(target);
  } else {
    const maker::IndexPlan plan = ChoosePlan(source, target.size(), options, report);
    maker::MatchSettings anchored;
    anchored.shortest_unanchored = kShortestUnanchoredCopy;
    anchored.anchor_distance = kAnchorDistance;
    // For a container the raw parse takes the anchored candidates alone, the
    // container's parse all (SegmentParse).
    const maker::MatchSettings settings =
        options.compressible && !options.container ? anchored : maker::MatchSettings{};
    if (plan.kind == maker::IndexKind::kSuffix && options.index == MakerOptions::Index::kChosen) {
      const StageProgress indexing = [&](std::uint64_t done, std::uint64_t total) {
        if (progress) progress(Stage::kIndexing, done, total);
      };
      const maker::CoveredReport covered = maker::MatchCovered(
          source, target, settings, ThreadCount(options), options.container, anchored, encoder, indexing,
          [&](std::uint64_t from, std::uint64_t to, bool written) {
            release_target(from, to);
            if (written && progress) progress(Stage::kMatching, to, target.size());
          },
          pages);
      report.index_memory = covered.index_memory;
      if (progress) progress(Stage::kWriting, 0, 1);
      report.patch_size = encoder.Finish();
      if (progress) progress(Stage::kWriting, 1, 1);
      return report;
    }
    const std::unique_ptr<maker::SourceIndex> index = BuildIndex(source, plan, options, progress);
    report.index_memory = index->MemoryUse();

    maker::Pipeline pipeline(
        target.size(), ThreadCount(options),
        [&](std::uint64_t from, std::uint64_t to, std::vector<maker::CopyCandidate>& found) {
          maker::FindCandidates(*index, source, target, from, to, settings, found);
        });
    maker::SegmentParse segment(source, target, options.container, anchored, encoder);
    pipeline.Run(
        [&](std::uint64_t from, std::uint64_t to,
            std::span<const std::vector<maker::CopyCandidate>> candidates) {
          segment.Parse(from, to, candidates);
          segment.EndSegment();
          release_target(from, to);
        },
        [&](std::uint64_t /*matched*/, std::uint64_t parsed) {
          if (progress) progress(Stage::kMatching, parsed, target.size());
        });
  }
  if (progress) progress(Stage::kWriting, 0, 1);
  report.patch_size = encoder.Finish();
  if (progress) progress(Stage::kWriting, 1, 1);
  return report;
}

}  // namespace

std::uint64_t MakerLeastMemory(std::uint64_t source_size, std::uint64_t target_size) {
  if (source_size < maker::kShortestMatch || target_size < maker::kShortestMatch) return kEncoderBuffer;
  return MakerWorkingMemory(target_size) + maker::kLeastSampledIndexMemory;
}

MakerReport MakePatch(ByteSpan source, ByteSpan target, const MakerOptions& options, PatchSink& sink,
                      const ProgressReport& progress) {
  CheckSize(source, "source");
  CheckSize(target, "target");
  CheckMemoryLimit(options.memory_limit, MakerLeastMemory(source.size(), target.size()));
  if (options.level < kLowestMakerLevel || options.level > kDefaultMakerLevel) {
    throw Exception(ErrorKind::kBadArgument, "The level " + std::to_string(options.level) +
                                                 " is not one of " + std::to_string(kLowestMakerLevel) +
                                                 " to " + std::to_string(kDefaultMakerLevel));
  }
  try {
    return Make(source, target, options, sink, progress);
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory();
  } catch (const std::system_error& error) {
    // A thread the OS would not start is done without; this is what is left
    // (a lock or a condition the OS failed to give).
    throw Exception("A system resource was refused: " + std::string(error.what()));
  }
}

}  // namespace varnock
