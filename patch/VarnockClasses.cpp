#include "patch/VarnockClasses.h"

#include <memory>

#include "files/Errors.h"
#include "files/FileMapping.h"
#include "files/FileStream.h"
#include "patch/PatchFormat.h"

namespace varnock {
namespace {

enum ArgumentPosition { kSourceArgument = 1, kTargetArgument = 2, kPatchArgument = 3 };

void CheckTarget(const std::string& target_name, std::uint32_t expected_crc) {
  TFileMappingAsByteArray target_reader(target_name);
  if (target_reader.Checksum() != expected_crc) throw Exception(ErrorKind::kTargetChecksum, "Target file checksum don't match");
}

}  // namespace

void ApplyPatch(FrontEnd& front_end) {
  front_end.WriteText("Step 1 ");
  auto source = std::make_unique<TFileMappingAsByteArray>(front_end.Argument(kSourceArgument));
  auto patch = std::make_unique<TFileMappingAsByteArray>(front_end.Argument(kPatchArgument));
  auto target_writer = std::make_unique<TFileStream>(front_end.Argument(kTargetArgument), TFileStream::fmCreate);

  front_end.WriteText("Step 2 ");
  PatchHeader header = ValidatePatch(
      patch->Bytes(), [&] { return source->Checksum(); }, front_end.Argument(kPatchArgument));

  front_end.WriteText("Step 3 ");
  RunInstructionStream(patch->Bytes(), source->Bytes(), header, *target_writer);

  front_end.WriteText("Step 4 ");
  source.reset();
  target_writer.reset();
  CheckTarget(front_end.Argument(kTargetArgument), header.target_crc);

  front_end.WriteText("Step 5 ");
  patch.reset();
  front_end.WriteLine("OK");
}

}  // namespace varnock
