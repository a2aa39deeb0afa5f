#include "api/MakeApi.h"

#include <algorithm>
#include <iterator>

#include "common/LibraryErrors.h"
#include "make/ContainerOutput.h"

namespace varnock {
namespace {

class CallbackSink : public PatchSink {
 public:
  CallbackSink(WriteCallback write, void* user_data) : write_(write), user_data_(user_data) {}
  void Write(ByteSpan bytes) override {
    if (!bytes.empty() && write_(user_data_, bytes.data(), bytes.size()) != 0) throw EWriteError();
  }

 private:
  WriteCallback write_;
  void* user_data_;
};

Stage StageOf(MakerStage stage) {
  switch (stage) {
    case MakerStage::kIndexing:
      return Stage::kIndexing;
    case MakerStage::kMatching:
      return Stage::kMatching;
    case MakerStage::kVerifying:
      return Stage::kVerifying;
    case MakerStage::kWriting:
      break;
  }
  return Stage::kWriting;
}

MakerProgress ReportTo(Progress& progress) {
  if (!progress.CountsBytes()) return {};
  return [&progress](MakerStage stage, std::uint64_t done, std::uint64_t total) {
    progress.Report(StageOf(stage), done, total);
  };
}

}  // namespace

PatchFileOptions MakeOptionsFrom(const varnock_make_options* options) {
  PatchFileOptions settings;
  // Mapped like the program's, but no fault handler knows these inputs.
  settings.listing = platform::Listing::kUnlisted;
  if (options == nullptr) return settings;
  if (std::any_of(std::begin(options->reserved), std::end(options->reserved),
                  [](std::uint64_t v) { return v != 0; })) {
    throw EBadArgument("a reserved option is not zero");
  }
  settings.maker.compressible = options->compressible != 0;
  settings.maker.threads = options->threads;
  settings.maker.memory_limit = options->memory_limit;
  settings.maker.container = options->container != 0;
  if (options->reserved32 != 0) throw EBadArgument("a reserved option is not zero");
  settings.force = options->replace_existing != 0;
  // Negative levels become large ones, which the maker refuses.
  if (options->level != 0) settings.maker.level = static_cast<unsigned>(options->level);
  return settings;
}

std::uint64_t MakePatchMemory(ByteSpan source, ByteSpan target, const MakerOptions& options,
                              WriteCallback write, void* user_data, Progress& progress) {
  CallbackSink sink(write, user_data);
  if (!options.container) return MakePatch(source, target, options, sink, ReportTo(progress)).patch_size;
  RawPatchCollector raw;
  MakePatch(source, target, options, raw, ReportTo(progress));
  const std::vector<std::uint8_t> container = MakeContainer(raw.Bytes(), source, options.threads);
  sink.Write(container);
  return container.size();
}

void MakePatchFiles(const MakeFileNames& names, const PatchFileOptions& options, Progress& progress) {
  // varnock.h keeps "-", varnock-diff's name for standard output, refused:
  // a host that passes it on from its own command line gets no file named "-".
  if (names.patch == "-") throw EBadArgument("the patch name \"-\" is standard output");
  MakePatchFile(names.source, names.target, names.patch, options, ReportTo(progress));
}

}  // namespace varnock
