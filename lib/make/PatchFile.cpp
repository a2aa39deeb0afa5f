#include "make/PatchFile.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "common/Crc32.h"
#include "common/Sizes.h"
#include "io/FileMapping.h"
#include "make/PatchVerifier.h"
#include "make/PendingFile.h"
#include "make/encode/ContainerOutput.h"
#include "make/index/SourceIndex.h"
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
    if (std::filesystem::file_size(name, unknown) > kLargestFile && !unknown) {
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

// Address space a 32-bit process keeps for its code, stacks and heap besides
// what the maker counts.
constexpr std::uint64_t kAddressSpaceReserve = std::uint64_t{192} << 20;

// A 32-bit build holds both inputs, the source's index and the work in one
// address space of 2 to 4 GiB: a pair that does not fit is refused at once,
// naming the build that has room, rather than failing for memory halfway.
void RefuseBeyondAddressSpace(const InputFile& source, const InputFile& target, const MakerOptions& options) {
  if constexpr (sizeof(void*) > 4) return;
  const std::uint64_t room = platform::UsableAddressSpace();
  const std::uint64_t inputs = source.Bytes().size() + target.Bytes().size();
  const std::uint64_t full_index = maker::SuffixIndexMemory(source.Bytes().size());
  const std::uint64_t index =
      options.memory_limit != 0 ? std::min(options.memory_limit, full_index) : full_index;
  const std::uint64_t need =
      inputs + index + MakerWorkingMemory(target.Bytes().size()) + kAddressSpaceReserve;
  if (need <= room) return;
  // The index takes 5 bytes a source byte and, from 64 MiB of source, 64 MiB
  // of buckets: what is left of the room for six times the source plus the target.
  const std::uint64_t per_byte = 5 * source.Bytes().size();
  const std::uint64_t fixed = (full_index > per_byte ? full_index - per_byte : 0) +
                              MakerWorkingMemory(target.Bytes().size()) + kAddressSpaceReserve;
  const std::uint64_t allowed = room > fixed ? room - fixed : 0;
  throw Exception(ErrorKind::kTooLarge,
                  "The source and the target need about " + Mebibytes(need, Rounding::kUp) +
                      " of address space, more than the " + Mebibytes(room, Rounding::kUp) +
                      " this 32-bit build has: it makes patches while six times the source plus "
                      "the target stay under about " +
                      Mebibytes(allowed, Rounding::kUp) +
                      ". The 64-bit build of varnock-diff makes this patch");
}

// A patch that does not rebuild the target is most often made from an input
// that another program changed meanwhile, which is then named instead.
void BlameAChangedInput(const InputFile& source, const InputFile& target, const MakerReport& report) {
  for (const auto& [input, crc] :
       {std::pair{&source, report.source_crc}, std::pair{&target, report.target_crc}}) {
    if (Crc32(input->Bytes()) != crc) {
      throw Exception("The input " + Quoted(input->Name()) +
                      " changed while it was being read; no patch was written");
    }
  }
}

// Where the patch goes, told from its name before any work is done.
enum class Destination { kStream, kFile };

Destination CheckPatchName(const std::string& patch_name, const InputFile& source, const InputFile& target,
                           bool force) {
  if (patch_name.empty()) throw Exception(ErrorKind::kCannotCreate, "The patch name is empty");
  if (auto patch = platform::IdentifyFile(patch_name)) {
    for (const InputFile* input : {&source, &target}) {
      if (platform::IdentifyFile(input->Name()) == patch) {
        throw Exception(ErrorKind::kCannotCreate,
                        "The patch " + Quoted(patch_name) + " is the input " + Quoted(input->Name()));
      }
    }
  }
  switch (platform::FindPatchPlace(patch_name)) {
    case platform::PatchPlace::kNothing:
      return Destination::kFile;
    case platform::PatchPlace::kFile:
      if (!force) throw EPatchExists("The patch " + Quoted(patch_name) + " exists already");
      return Destination::kFile;
    case platform::PatchPlace::kDirectory:
      throw Exception(ErrorKind::kCannotCreate, "The patch " + Quoted(patch_name) + " is a directory");
    case platform::PatchPlace::kStream:
      return Destination::kStream;
    case platform::PatchPlace::kUnwritable:
      break;
  }
  throw Exception(
      ErrorKind::kCannotCreate,
      "The patch " + Quoted(patch_name) + " is a block device or a socket, which a patch never replaces");
}

// The applicator reads no file of 4 GiB or more: a target close to that size
// with little in common with the source makes a patch it could not use.
constexpr const char* kOversizedPatch = "The patch would be 4 GiB or more, too large to apply";

void RefuseOversizedPatch(const MakerReport& report) {
  if (report.patch_size > kLargestFile) throw Exception(ErrorKind::kTooLarge, kOversizedPatch);
}

// Writes the patch to a stream as it is made; what went out cannot be taken
// back, so an oversized patch is stopped at the byte that makes it so.
class StreamSink : public PatchSink {
 public:
  StreamSink(platform::Handle output, const std::string& description)
      : output_(output), failure_("Cannot write the patch to " + description) {}
  void Write(ByteSpan bytes) override {
    written_ += bytes.size();
    if (written_ > kLargestFile) throw Exception(ErrorKind::kTooLarge, kOversizedPatch);
    WriteWhole(output_, bytes, failure_);
  }

 private:
  platform::Handle output_;
  std::string failure_;
  std::uint64_t written_ = 0;
};

// Makes the patch into a container as it is written.
MakerReport MakeContainer(const InputFile& source, const InputFile& target, const PatchFileOptions& options,
                          container::ContainerSink& out, const ProgressReport& progress) {
  ContainerMaking making(source.Bytes(), options.maker.threads, out);
  MakerReport report = MakePatch(source.Bytes(), target.Bytes(), options.maker, making, progress);
  making.Finish();
  return report;
}

// A stream (standard output, a character device, a FIFO) cannot be read
// back, so the patch is checked as it is written.
MakerReport MakeToStream(platform::Handle output, const std::string& description, const InputFile& source,
                         const InputFile& target, const PatchFileOptions& options,
                         const ProgressReport& progress) {
  if (platform::IsTerminal(output)) throw Exception("Refusing to write a patch to a terminal");
  StreamSink stream(output, description);
  if (options.maker.container) {
    // The container is held, small beside the raw patch, to be checked
    // before anything goes out.
    container::ContainerBytes made;
    MakerReport report = MakeContainer(source, target, options, made, progress);
    VerifyContainer(made.bytes(), source.Bytes(), target.Bytes(), progress,
                    options.maker.inputs_are_file_views, report.index_memory);
    stream.Write(made.bytes());
    report.patch_size = made.bytes().size();
    return report;
  }
  if (!options.verify) return MakePatch(source.Bytes(), target.Bytes(), options.maker, stream, progress);
  VerifyingSink checked(stream, source.Bytes(), target.Bytes(), options.maker.inputs_are_file_views);
  MakerReport report = MakePatch(source.Bytes(), target.Bytes(), options.maker, checked, progress);
  checked.Finish();
  return report;
}

MakerReport MakeToNamedStream(const InputFile& source, const InputFile& target, const std::string& patch_name,
                              const PatchFileOptions& options, const ProgressReport& progress) {
  const platform::Handle stream = platform::OpenStreamForWriting(patch_name);
  if (stream == platform::kInvalidHandle) RaiseLastOSError("Cannot open the patch " + Quoted(patch_name));
  MakerReport report;
  try {
    report = MakeToStream(stream, Quoted(patch_name), source, target, options, progress);
  } catch (...) {
    platform::CloseWrittenFile(stream);
    throw;
  }
  if (!platform::CloseWrittenFile(stream)) RaiseLastOSError("Cannot close the patch " + Quoted(patch_name));
  return report;
}

// Reads the patch back from its file, so that what is checked is what was
// written, and checks it; a patch that does not rebuild the target is put
// down to an input that changed meanwhile, where one did.
template <typename Check>
void CheckWritten(const PendingFile& file, const std::string& patch_name, const InputFile& source,
                  const InputFile& target, const MakerReport& report, const Check& check) {
  std::optional<TFileMappingAsByteArray> written;
  try {
    written.emplace(file.File());
  } catch (const EOSError& error) {
    RaiseOSError("Cannot read back the patch " + Quoted(patch_name), error.ErrorCode());
  }
  try {
    check(written->Bytes());
  } catch (const ENotRebuilt&) {
    BlameAChangedInput(source, target, report);
    throw;
  }
}

// The container goes to the file as its blocks are made; the header, whose
// patch length and CRC-32 come last, is written again at the end.
class FileContainer : public container::ContainerSink {
 public:
  FileContainer(PendingFile& file, const std::string& patch_name) : file_(file), patch_name_(patch_name) {}
  void Append(ByteSpan bytes) override {
    written_ += bytes.size();
    if (written_ > kLargestFile) throw Exception(ErrorKind::kTooLarge, kOversizedPatch);
    file_.Write(bytes);
  }
  void RewriteHeader(ByteSpan header) override {
    if (!platform::WriteFileAt(file_.File(), 0, header.data(), static_cast<std::uint32_t>(header.size())))
      RaiseLastOSError("Cannot write the patch " + Quoted(patch_name_));
  }
  std::uint64_t written() const noexcept { return written_; }

 private:
  PendingFile& file_;
  const std::string& patch_name_;
  std::uint64_t written_ = 0;
};

// The container, however it was asked for, is checked as read back from the
// file: it must rebuild the target.
MakerReport MakeContainerFile(PendingFile& file, const InputFile& source, const InputFile& target,
                              const std::string& patch_name, const PatchFileOptions& options,
                              const ProgressReport& progress) {
  FileContainer out(file, patch_name);
  MakerReport report = MakeContainer(source, target, options, out, progress);
  report.patch_size = out.written();
  CheckWritten(file, patch_name, source, target, report, [&](ByteSpan written) {
    VerifyContainer(written, source.Bytes(), target.Bytes(), progress, options.maker.inputs_are_file_views,
                    report.index_memory);
  });
  file.Commit(options.force);
  return report;
}

MakerReport MakeToFile(const InputFile& source, const InputFile& target, const std::string& patch_name,
                       const PatchFileOptions& options, const ProgressReport& progress) {
  PendingFile file(patch_name, options.listing);
  if (options.maker.container) return MakeContainerFile(file, source, target, patch_name, options, progress);
  MakerReport report = MakePatch(source.Bytes(), target.Bytes(), options.maker, file, progress);
  RefuseOversizedPatch(report);
  if (options.verify) {
    CheckWritten(file, patch_name, source, target, report, [&](ByteSpan written) {
      VerifyPatch(written, source.Bytes(), target.Bytes(), progress, options.maker.inputs_are_file_views,
                  report.index_memory);
    });
  }
  file.Commit(options.force);
  return report;
}

// Both inputs mapped, and refused where a 32-bit build has no room for them.
struct Inputs {
  Inputs(const std::string& source_name, const std::string& target_name, const PatchFileOptions& options)
      : source(source_name, "source", options.listing),
        target(target_name, "target", options.listing),
        options(options) {
    RefuseBeyondAddressSpace(source, target, options.maker);
    this->options.maker.inputs_are_file_views = true;
  }
  InputFile source;
  InputFile target;
  PatchFileOptions options;
};

}  // namespace

MakerReport MakePatchFile(const std::string& source_name, const std::string& target_name,
                          const std::string& patch_name, const PatchFileOptions& options,
                          const ProgressReport& progress) {
  const Inputs inputs(source_name, target_name, options);
  switch (CheckPatchName(patch_name, inputs.source, inputs.target, options.force)) {
    case Destination::kStream:
      return MakeToNamedStream(inputs.source, inputs.target, patch_name, inputs.options, progress);
    case Destination::kFile:
      break;
  }
  return MakeToFile(inputs.source, inputs.target, patch_name, inputs.options, progress);
}

MakerReport MakePatchToStream(const std::string& source_name, const std::string& target_name,
                              const OpenPatchStream& open, const std::string& description,
                              const PatchFileOptions& options, const ProgressReport& progress) {
  const Inputs inputs(source_name, target_name, options);
  return MakeToStream(open(), description, inputs.source, inputs.target, inputs.options, progress);
}

}  // namespace varnock
