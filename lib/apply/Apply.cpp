#include "apply/Apply.h"

#include <memory>
#include <optional>
#include <vector>

#include "apply/ContainerDecoder.h"
#include "apply/DecodedPatch.h"
#include "apply/InstructionStream.h"
#include "apply/RangedStream.h"
#include "common/Errors.h"
#include "common/LibraryErrors.h"
#include "format/PatchKind.h"
#include "format/WholeDecoders.h"
#include "io/FileContents.h"
#include "io/FileMapping.h"
#include "io/InputFile.h"

namespace varnock {
namespace {

struct Written {
  PatchHeader header;
  std::uint64_t target_size;  // 0 where progress counts no bytes
};

// The writing stage around `run`, which runs the stream with the progress it
// is handed (null where progress counts no bytes); `count` tells the length
// of the target up to the first faulty instruction, for the stage's total.
template <typename Count, typename Run>
Written WriteStage(const PatchHeader& header, Progress& progress, Count&& count, Run&& run) {
  if (!progress.CountsBytes()) {
    progress.Report(Stage::kWriting, 0, 0);
    run(nullptr);
    return {header, 0};
  }
  const std::uint64_t total = count();
  progress.Report(Stage::kWriting, 0, total);
  const StreamProgress told = [&](std::uint64_t done) { progress.Report(Stage::kWriting, done, total); };
  run(&told);
  progress.Report(Stage::kWriting, total, total);
  return {header, total};
}

// Checks the patch against the source, whose CRC-32 is `known` or else
// taken, and writes the target.
Written CheckAndWriteRanges(InputRanges& source, InputRanges& patch, const std::string& patch_name,
                            TStream& target, std::size_t source_cache, Progress& progress,
                            std::optional<std::uint32_t> known);

Written CheckAndWrite(ByteSpan source, ByteSpan patch, const std::string& patch_name, TStream& target,
                      Progress& progress, std::optional<std::uint32_t> known) {
  if (PatchKindOf(patch.first(std::min(patch.size(), kLongestMagic))) != PatchKind::kRaw) {
    // A carried patch is decoded a window at a time, whatever holds it.
    SpanRanges source_ranges(source);
    SpanRanges patch_ranges(patch);
    return CheckAndWriteRanges(source_ranges, patch_ranges, patch_name, target, kDefaultSourceCache, progress,
                               known);
  }
  progress.Report(Stage::kChecksum, 0, source.size());
  const PatchHeader header = ValidatePatch(
      patch,
      [&] {
        if (!known) return Crc32WithProgress(source, Stage::kChecksum, progress);
        progress.Report(Stage::kChecksum, source.size(), source.size());
        return *known;
      },
      patch_name);
  return WriteStage(
      header, progress,
      [&] {
        CountingTarget counter;
        try {
          RunInstructionStream(patch, source, header, counter);
        } catch (const Exception&) {
          // The run itself meets the same fault, after the runs counted here.
        }
        return counter.Written();
      },
      [&](const StreamProgress* told) {
        if (told == nullptr) {
          RunInstructionStream(patch, source, header, target);
        } else {
          RunInstructionStream(patch, source, header, target, *told);
        }
      });
}

// The kind of the patch `patch`, from its first bytes.
PatchKind KindOf(InputRanges& patch) {
  std::uint8_t first[kLongestMagic];
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(patch.Size(), kLongestMagic));
  patch.Read(0, {first, length});
  return PatchKindOf({first, length});
}

// The source's CRC-32: `known`, or read whole, block by block, through the
// cache, which then still holds the blocks read last when writing begins.
std::uint32_t SourceChecksum(InputRanges& source, std::optional<SourceCache>& cache, std::size_t source_cache,
                             Progress& progress, std::optional<std::uint32_t> known) {
  const std::uint64_t source_size = source.Size();
  if (!known) {
    known = cache.emplace(source, source_cache).Checksum([&](std::uint64_t done) {
      if (progress.CountsBytes()) progress.Report(Stage::kChecksum, done, source_size);
    });
  }
  progress.Report(Stage::kChecksum, source_size, source_size);
  return *known;
}

// What is known before the raw patch is read: the source's CRC-32 (the
// caller's, or taken to check it against a container's header before any
// decoding), and the target's length a container tells.
struct Carried {
  std::optional<std::uint32_t> source_crc;
  std::optional<std::uint64_t> target_size;
};

// Checks a raw patch read by ranges against the source, whose CRC-32 is taken
// before anything is written unless `carried` knows it, and writes the target.
Written CheckAndWriteRaw(InputRanges& source, InputRanges& patch, const std::string& patch_name,
                         TStream& target, std::optional<SourceCache>& cache, std::size_t source_cache,
                         Progress& progress, const Carried& carried) {
  const std::uint64_t source_size = source.Size();
  const std::vector<std::uint8_t> head = ReadPatchHead(patch);
  // Made once the header holds: a patch refused at once takes no cache.
  const PatchHeader header = ValidatePatchHead(
      head, patch.Size(),
      [&] { return SourceChecksum(source, cache, source_cache, progress, carried.source_crc); }, patch_name);
  if (!cache) cache.emplace(source, source_cache);
  PatchWindow window(patch);
  return WriteStage(
      header, progress,
      [&] {
        return carried.target_size ? *carried.target_size : CountRangedTarget(window, source_size, header);
      },
      [&](const StreamProgress* told) { RunRangedStream(window, *cache, header, target, told); });
}

// The same on inputs read by ranges, the patch raw or carried: a container
// names its source, which is checked (length, then CRC-32) before a byte of
// it is decoded; an xz or zstd file is decoded as its raw patch is read.
Written CheckAndWriteRanges(InputRanges& source, InputRanges& patch, const std::string& patch_name,
                            TStream& target, std::size_t source_cache, Progress& progress,
                            std::optional<std::uint32_t> known) {
  const std::uint64_t source_size = source.Size();
  progress.Report(Stage::kChecksum, 0, source_size);
  std::optional<SourceCache> cache;
  const PatchKind kind = KindOf(patch);
  if (kind == PatchKind::kRaw) {
    return CheckAndWriteRaw(source, patch, patch_name, target, cache, source_cache, progress, {known, {}});
  }
  if (kind != PatchKind::kContainer) {
    DecodedPatch decoded(NewWholeDecoder(kind, patch));
    return CheckAndWriteRaw(source, decoded, patch_name, target, cache, source_cache, progress, {known, {}});
  }
  auto decoder = std::make_unique<container::ContainerDecoder>(patch, &source);
  const container::Header header = decoder->header();
  if (header.source_size != source_size) RaiseSourceChecksum();
  const std::uint32_t crc = SourceChecksum(source, cache, source_cache, progress, known);
  if (crc != header.source_crc) RaiseSourceChecksum();
  DecodedPatch decoded(std::move(decoder));
  return CheckAndWriteRaw(source, decoded, patch_name, target, cache, source_cache, progress,
                          {crc, header.target_size});
}

// Creates the target beside the open inputs, writes it, reads it back and
// checks it; the inputs are closed in the program's order.
template <typename Input, typename Write>
void ApplyToFile(const PatchFileNames& names, InputAccess access, std::unique_ptr<Input> source,
                 std::unique_ptr<Input> patch, Progress& progress, Write&& write) {
  const platform::Handle inputs[] = {source->FileHandle(), patch->FileHandle()};
  auto target_writer =
      std::make_unique<TFileStream>(names.target, TFileStream::fmCreate, inputs, ListingFor(access));
  const Written written = write(*source, *patch, *target_writer);
  progress.Report(Stage::kVerifying, 0, written.target_size);
  source.reset();
  target_writer.reset();
  CheckTargetChecksum(written.header, ChecksumOfFile(names.target, access, progress));
  patch.reset();
}

}  // namespace

void ApplyPatchFiles(const PatchFileNames& names, InputAccess access, Progress& progress,
                     std::size_t source_cache, std::optional<std::uint32_t> source_crc) {
  if (access == InputAccess::kRead) {
    auto source = std::make_unique<TFileRanges>(names.source);
    auto patch = std::make_unique<TFileRanges>(names.patch);
    ApplyToFile(names, access, std::move(source), std::move(patch), progress,
                [&](TFileRanges& source_file, TFileRanges& patch_file, TStream& target) {
                  return CheckAndWriteRanges(source_file, patch_file, names.patch, target, source_cache,
                                             progress, source_crc);
                });
    return;
  }
  auto source = std::make_unique<TFileMappingAsByteArray>(names.source, ListingFor(access));
  auto patch = std::make_unique<TFileMappingAsByteArray>(names.patch, ListingFor(access));
  ApplyToFile(
      names, access, std::move(source), std::move(patch), progress,
      [&](TFileMappingAsByteArray& source_file, TFileMappingAsByteArray& patch_file, TStream& target) {
        return CheckAndWrite(source_file.Bytes(), patch_file.Bytes(), names.patch, target, progress,
                             source_crc);
      });
}

void ApplyPatchMemory(ByteSpan source, ByteSpan patch, MemoryTarget& target, Progress& progress,
                      std::optional<std::uint32_t> source_crc) {
  const Written written = CheckAndWrite(source, patch, kMemoryPatchName, target, progress, source_crc);
  progress.Report(Stage::kVerifying, 0, written.target_size);
  CheckTargetChecksum(written.header, target.Checksum(progress));
}

void ApplyPatchRanges(InputRanges& source, InputRanges& patch, const std::string& patch_name,
                      MemoryTarget& target, std::size_t source_cache, Progress& progress,
                      std::optional<std::uint32_t> source_crc) {
  const Written written =
      CheckAndWriteRanges(source, patch, patch_name, target, source_cache, progress, source_crc);
  progress.Report(Stage::kVerifying, 0, written.target_size);
  CheckTargetChecksum(written.header, target.Checksum(progress));
}

std::uint64_t MeasureTarget(ByteSpan source, ByteSpan patch, std::optional<std::uint32_t> source_crc) {
  Progress no_progress(nullptr);
  CountingTarget counter;
  CheckAndWrite(source, patch, kMemoryPatchName, counter, no_progress, source_crc);
  return counter.Written();
}

}  // namespace varnock
