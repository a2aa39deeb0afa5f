#include "maker/Maker.h"

#include <algorithm>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "files/Crc32.h"
#include "files/Errors.h"
#include "maker/Matcher.h"
#include "maker/Parser.h"
#include "maker/PatchEncoder.h"
#include "maker/Pipeline.h"
#include "maker/SourceIndex.h"

namespace varnock {
namespace {

constexpr std::uint64_t kLargestInput = 0xFFFFFFFF;
// With --compressible, a copy shorter than 32 bytes is kept only within 64 KiB
// of the diagonal of the last longer one: a compressor finds the repeats among
// literals that stray short copies would break up, and their offsets cost it
// more than the literals. Tuned with xz -9 on real pairs: on the first 48 MiB
// of chromium this took a quarter off the compressed patch, on libc, perf and
// postgres up to 2%. Weighing every copy's bytes more in the parse did less on
// chromium and cost elsewhere; so did a plain higher shortest copy.
constexpr std::uint32_t kShortestUnanchoredCopy = 32;
constexpr std::uint64_t kAnchorDistance = 0x10000;

void CheckSize(ByteSpan input, const char* name) {
  if (input.size() > kLargestInput) {
    throw Exception(ErrorKind::kTooLarge, std::string("The ") + name + " is " + std::to_string(input.size()) +
                    " bytes long; patches hold files below 4 GiB (4294967296 bytes)");
  }
}

// Bytes the encoder gathers before it hands them to the sink.
constexpr std::uint64_t kEncoderBuffer = std::uint64_t{1} << 20;

void CheckMemoryLimit(std::uint64_t limit, std::uint64_t least) {
  if (limit == 0 || limit >= least) return;
  const std::uint64_t kib = (least + 1023) / 1024;
  throw Exception(ErrorKind::kBadArgument, "The memory limit of " + std::to_string(limit) +
                                               " bytes is below the least the maker needs for these inputs: " +
                                               std::to_string(least) + " bytes (" + std::to_string(kib) + "K)");
}

unsigned ThreadCount(const MakerOptions& options) {
  if (options.threads > 0) return options.threads;
  return std::max(1u, std::thread::hardware_concurrency());
}

std::unique_ptr<maker::SourceIndex> BuildIndex(ByteSpan source, std::uint64_t target_size,
                                               const MakerOptions& options, const MakerProgress& progress,
                                               MakerReport& report) {
  const maker::IndexProgress indexing = [&](std::uint64_t done, std::uint64_t total) {
    if (progress) progress(MakerStage::kIndexing, done, total);
  };
  const std::uint64_t working = MakerWorkingMemory(target_size);
  if (options.memory_limit == 0 || maker::SuffixIndexMemory(source.size()) + working <= options.memory_limit)
    return maker::MakeSuffixIndex(source, ThreadCount(options), indexing);
  report.used_small_index = true;
  const std::uint64_t budget = options.memory_limit > working ? options.memory_limit - working : 0;
  return maker::MakeSampledIndex(source, budget, indexing);
}

// Hands the literal target to the encoder when the source offers nothing.
bool NothingToMatch(ByteSpan source, ByteSpan target) {
  return source.size() < maker::kShortestMatch || target.size() < maker::kShortestMatch;
}

MakerReport Make(ByteSpan source, ByteSpan target, const MakerOptions& options, PatchSink& sink,
                 const MakerProgress& progress) {
  MakerReport report;
  report.source_crc = Crc32(source);
  report.target_crc = Crc32(target);
  PatchEncoder encoder(sink, report.source_crc, report.target_crc);
  if (NothingToMatch(source, target)) {
    encoder.Literal(target);
  } else {
    const std::unique_ptr<maker::SourceIndex> index =
        BuildIndex(source, target.size(), options, progress, report);
    report.index_memory = index->MemoryUse();
    maker::MatchSettings settings;
    if (options.compressible) {
      settings.shortest_unanchored = kShortestUnanchoredCopy;
      settings.anchor_distance = kAnchorDistance;
    }

    maker::Pipeline pipeline(target.size(), ThreadCount(options),
                             [&](std::uint64_t from, std::uint64_t to, std::vector<maker::CopyCandidate>& found) {
                               maker::FindCandidates(*index, source, target, from, to, settings, found);
                             });
    maker::Parser parser;
    pipeline.Run(
        [&](std::uint64_t from, std::uint64_t to,
            std::span<const std::vector<maker::CopyCandidate>> candidates) {
          parser.Parse(target, from, to, candidates, encoder);
        },
        [&](std::uint64_t /*matched*/, std::uint64_t parsed) {
          if (progress) progress(MakerStage::kMatching, parsed, target.size());
        });
  }
  if (progress) progress(MakerStage::kWriting, 0, 1);
  report.patch_size = encoder.Finish();
  if (progress) progress(MakerStage::kWriting, 1, 1);
  return report;
}

}  // namespace

std::uint64_t MakerWorkingMemory(std::uint64_t target_size) {
  const std::uint64_t segment = std::min(target_size, maker::kSegmentSize);
  const std::uint64_t in_flight = std::min(target_size, maker::kSegmentSize * maker::kSegmentsInFlight);
  // The parse's 8 bytes per segment byte; at most two candidates of 12 bytes
  // per target byte in flight; the encoder's buffer.
  return 8 * (segment + 1) + 2 * sizeof(maker::CopyCandidate) * in_flight + kEncoderBuffer;
}

std::uint64_t MakerLeastMemory(std::uint64_t source_size, std::uint64_t target_size) {
  if (source_size < maker::kShortestMatch || target_size < maker::kShortestMatch) return kEncoderBuffer;
  return MakerWorkingMemory(target_size) + maker::kLeastSampledIndexMemory;
}

MakerReport MakePatch(ByteSpan source, ByteSpan target, const MakerOptions& options, PatchSink& sink,
                      const MakerProgress& progress) {
  CheckSize(source, "source");
  CheckSize(target, "target");
  CheckMemoryLimit(options.memory_limit, MakerLeastMemory(source.size(), target.size()));
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
