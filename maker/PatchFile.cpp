#include "maker/PatchFile.h"

#include <cstdint>
#include <filesystem>
#include <vector>

#include "files/FileMapping.h"
#include "maker/PatchVerifier.h"
#include "maker/PendingFile.h"
#include "platform/platform.h"

namespace varnock {
namespace {

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

// An input mapped whole; errors name the file and its role.
class InputFile {
 public:
  InputFile(const std::string& name, const char* role, platform::Listing listing)
      : name_(name), mapping_(Open(name, role, listing)) {}

  ByteSpan Bytes() const noexcept { return mapping_.Bytes(); }
  const std::string& Name() const noexcept { return name_; }

 private:
  static TFileMappingAsByteArray Open(const std::string& name, const char* role, platform::Listing listing) {
    std::error_code unknown;
    if (std::filesystem::file_size(name, unknown) > UINT32_MAX && !unknown) {
      throw Exception(ErrorKind::kTooLarge, std::string("The ") + role + " " + Quoted(name) +
                                                " is 4 GiB or more; a patch holds files under 4 GiB");
    }
    try {
      return TFileMappingAsByteArray(name, listing);
    } catch (const EOSError& error) {
      RaiseOSError(std::string("Cannot read the ") + role + " " + Quoted(name), error.ErrorCode());
    }
  }

  std::string name_;
  TFileMappingAsByteArray mapping_;
};

void RefusePatchName(const std::string& patch_name, const InputFile& source, const InputFile& target,
                     bool force) {
  if (auto patch = platform::IdentifyFile(patch_name)) {
    for (const InputFile* input : {&source, &target}) {
      if (platform::IdentifyFile(input->Name()) == patch) {
        throw Exception(ErrorKind::kCannotCreate,
                        "The patch " + Quoted(patch_name) + " is the input " + Quoted(input->Name()));
      }
    }
  }
  std::error_code unknown;
  if (!force &&
      std::filesystem::symlink_status(patch_name, unknown).type() != std::filesystem::file_type::not_found &&
      !unknown) {
    throw EPatchExists("The patch " + Quoted(patch_name) + " exists already");
  }
}

class MemorySink : public PatchSink {
 public:
  void Write(ByteSpan bytes) override { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
  ByteSpan Bytes() const noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// The applicator reads no file of 4 GiB or more: a target close to that size
// with little in common with the source makes a patch it could not use.
void RefuseOversizedPatch(const MakerReport& report) {
  if (report.patch_size > UINT32_MAX)
    throw Exception(ErrorKind::kTooLarge, "The patch would be 4 GiB or more, too large to apply");
}

MakerReport MakeToStandardOutput(const InputFile& source, const InputFile& target,
                                 const PatchFileOptions& options, const MakerProgress& progress) {
  platform::StandardOutput output = platform::OpenStandardOutput();
  if (output.handle == platform::kInvalidHandle)
    throw Exception("There is no standard output to write the patch to");
  if (platform::IsTerminal(output.handle)) throw Exception("Refusing to write a patch to a terminal");
  MemorySink sink;
  MakerReport report = MakePatch(source.Bytes(), target.Bytes(), options.maker, sink, progress);
  RefuseOversizedPatch(report);
  if (options.verify) VerifyPatch(sink.Bytes(), source.Bytes(), target.Bytes(), progress);
  WriteWhole(output.handle, sink.Bytes(), "Cannot write the patch to standard output");
  return report;
}

MakerReport MakeToFile(const InputFile& source, const InputFile& target, const std::string& patch_name,
                       const PatchFileOptions& options, const MakerProgress& progress) {
  RefusePatchName(patch_name, source, target, options.force);
  PendingFile file(patch_name);
  MakerReport report = MakePatch(source.Bytes(), target.Bytes(), options.maker, file, progress);
  RefuseOversizedPatch(report);
  file.Close();
  if (options.verify) {
    // Read back from the file, so that what is checked is what was written.
    TFileMappingAsByteArray patch(file.TemporaryName(), options.listing);
    VerifyPatch(patch.Bytes(), source.Bytes(), target.Bytes(), progress);
  }
  file.Commit(options.force);
  return report;
}

}  // namespace

MakerReport MakePatchFile(const std::string& source_name, const std::string& target_name,
                          const std::string& patch_name, const PatchFileOptions& options,
                          const MakerProgress& progress) {
  InputFile source(source_name, "source", options.listing);
  InputFile target(target_name, "target", options.listing);
  if (patch_name == kStandardOutputName) return MakeToStandardOutput(source, target, options, progress);
  return MakeToFile(source, target, patch_name, options, progress);
}

}  // namespace varnock
