#include "lib/Apply.h"

#include <memory>
#include <optional>

#include "files/Errors.h"
#include "lib/InputFile.h"
#include "lib/LibraryErrors.h"

namespace varnock {
namespace {

// The length of the target up to the first faulty instruction, for the
// writing stage's total; asked for only where progress counts bytes.
std::uint64_t CountTarget(ByteSpan patch, ByteSpan source, const PatchHeader& header) {
  CountingTarget counter;
  try {
    RunInstructionStream(patch, source, header, counter);
  } catch (const Exception&) {
    // The run itself meets the same fault, after the runs counted here.
  }
  return counter.Written();
}

struct Written {
  PatchHeader header;
  std::uint64_t target_size;  // 0 where progress counts no bytes
};

// Checks the patch against the source and writes the target.
Written CheckAndWrite(ByteSpan source, ByteSpan patch, const std::string& patch_name, TStream& target,
                      Progress& progress) {
  progress.Report(Stage::kChecksum, 0, source.size());
  const PatchHeader header = ValidatePatch(
      patch, [&] { return Crc32WithProgress(source, Stage::kChecksum, progress); }, patch_name);

  if (!progress.CountsBytes()) {
    progress.Report(Stage::kWriting, 0, 0);
    RunInstructionStream(patch, source, header, target);
    return {header, 0};
  }
  const std::uint64_t total = CountTarget(patch, source, header);
  progress.Report(Stage::kWriting, 0, total);
  RunInstructionStream(patch, source, header, target,
                       [&](std::uint64_t done) { progress.Report(Stage::kWriting, done, total); });
  progress.Report(Stage::kWriting, total, total);
  return {header, total};
}

}  // namespace

void ApplyPatchFiles(const ApplyFileNames& names, InputAccess access, Progress& progress) {
  auto source = std::make_unique<InputFile>(names.source, access);
  auto patch = std::make_unique<InputFile>(names.patch, access);
  const platform::Handle inputs[] = {source->FileHandle(), patch->FileHandle()};
  auto target_writer =
      std::make_unique<TFileStream>(names.target, TFileStream::fmCreate, inputs, ListingFor(access));

  const Written written =
      CheckAndWrite(source->Bytes(), patch->Bytes(), names.patch, *target_writer, progress);

  progress.Report(Stage::kVerifying, 0, written.target_size);
  source.reset();
  target_writer.reset();
  CheckTargetChecksum(written.header, ChecksumOfFile(names.target, access, progress));
  patch.reset();
}

void ApplyPatchMemory(ByteSpan source, ByteSpan patch, MemoryTarget& target, Progress& progress) {
  const Written written = CheckAndWrite(source, patch, kMemoryPatchName, target, progress);
  progress.Report(Stage::kVerifying, 0, written.target_size);
  CheckTargetChecksum(written.header, target.Checksum(progress));
}

std::uint64_t MeasureTarget(ByteSpan source, ByteSpan patch) {
  Progress no_progress(nullptr);
  CountingTarget counter;
  CheckAndWrite(source, patch, kMemoryPatchName, counter, no_progress);
  return counter.Written();
}

}  // namespace varnock
