#include "api/MakeApi.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string>

#include "common/LibraryErrors.h"
#include "make/encode/ContainerOutput.h"

namespace varnock {
namespace {

class HostWriteSink : public PatchSink {
 public:
  HostWriteSink(WriteCallback write, void* user_data) : write_(write), user_data_(user_data) {}
  void Write(ByteSpan bytes) override {
    if (!bytes.empty() && write_(user_data_, bytes.data(), bytes.size()) != 0) throw EWriteError();
  }

 private:
  WriteCallback write_;
  void* user_data_;
};

// The maker refuses an argument in the words of varnock-diff's messages; the
// library's refusals all read "Bad argument: <what>".
template <typename Make>
auto WithLibraryRefusals(Make&& make) {
  try {
    return make();
  } catch (const Exception& error) {
    if (error.Kind() != ErrorKind::kBadArgument || error.Message().empty()) throw;
    std::string what = error.Message();
    what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
    throw EBadArgument(what);
  }
}

ProgressReport ReportTo(Progress& progress) {
  if (!progress.CountsBytes()) return {};
  return [&progress](Stage stage, std::uint64_t done, std::uint64_t total) {
    progress.Report(stage, done, total);
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
  if (options->level < 0 || options->level > static_cast<std::int32_t>(kDefaultMakerLevel)) {
    throw EBadArgument("the level " + std::to_string(options->level) + " is not one of " +
                       std::to_string(kLowestMakerLevel) + " to " + std::to_string(kDefaultMakerLevel));
  }
  if (options->level != 0) settings.maker.level = static_cast<unsigned>(options->level);
  return settings;
}

std::uint64_t MakePatchMemory(ByteSpan source, ByteSpan target, const MakerOptions& options,
                              WriteCallback write, void* user_data, Progress& progress) {
  HostWriteSink sink(write, user_data);
  return WithLibraryRefusals([&] {
    if (!options.container) return MakePatch(source, target, options, sink, ReportTo(progress)).patch_size;
    // The container is held, small beside the raw patch, to be checked
    // before anything goes out.
    container::ContainerBytes made;
    ContainerMaking making(source, options.threads, made);
    MakePatch(source, target, options, making, ReportTo(progress));
    making.Finish();
    VerifyContainer(made.bytes(), source, target, ReportTo(progress));
    sink.Write(made.bytes());
    return static_cast<std::uint64_t>(made.bytes().size());
  });
}

void MakePatchFiles(const PatchFileNames& names, const PatchFileOptions& options, Progress& progress) {
  // varnock.h keeps "-", varnock-diff's name for standard output, refused:
  // a host that passes it on from its own command line gets no file named "-".
  if (names.patch == "-") throw EBadArgument("the patch name \"-\" is standard output");
  WithLibraryRefusals(
      [&] { MakePatchFile(names.source, names.target, names.patch, options, ReportTo(progress)); });
}

}  // namespace varnock
