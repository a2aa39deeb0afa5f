#include "lib/MakeApi.h"

#include <algorithm>
#include <iterator>

#include "lib/LibraryErrors.h"

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

MakerOptions MakerOptionsFrom(const varnock_make_options* options) {
  if (options == nullptr) return {};
  if (std::any_of(std::begin(options->reserved), std::end(options->reserved), [](std::uint64_t v) { return v != 0; })) {
    throw EBadArgument("options->reserved is not zero");
  }
  return {options->compressible != 0, options->threads, options->memory_limit};
}

std::uint64_t MakePatchMemory(ByteSpan source, ByteSpan target, const MakerOptions& options, WriteCallback write,
                              void* user_data, Progress& progress) {
  CallbackSink sink(write, user_data);
  return MakePatch(source, target, options, sink, ReportTo(progress)).patch_size;
}

}  // namespace varnock
