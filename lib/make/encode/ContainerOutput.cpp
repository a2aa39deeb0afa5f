#include "make/encode/ContainerOutput.h"

#include <algorithm>
#include <thread>

#include "apply/ContainerDecoder.h"
#include "make/PatchVerifier.h"

namespace varnock {

ContainerMaking::ContainerMaking(ByteSpan source, unsigned threads, container::ContainerSink& out)
    : source_(source),
      threads_(threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency())),
      out_(out) {}

ContainerMaking::~ContainerMaking() = default;

void ContainerMaking::Start() {
  writer_ = std::make_unique<container::ContainerWriter>(source_, threads_, container::EncodeOptions{}, out_);
  first_ = writer_.get();
  if (writer_->Predicts()) {
    folder_ = std::make_unique<container::CopyFolder>(source_, *writer_);
    first_ = folder_.get();
  }
}

void ContainerMaking::Write(ByteSpan raw) {
  if (first_ != nullptr) return first_->Write(raw);
  held_.insert(held_.end(), raw.begin(), raw.end());
  if (held_.size() <= container::kLargestUnsurePatch) return;
  Start();
  first_->Write(held_);
  std::vector<std::uint8_t>().swap(held_);
}

container::EncodeReport ContainerMaking::Finish() {
  if (first_ == nullptr) {
    container::EncodeReport report;
    out_.Append(container::EncodeContainer(held_, source_, threads_, {}, &report));
    return report;
  }
  if (folder_) folder_->Finish();
  return writer_->Finish();
}

namespace {

class NoOutput : public PatchSink {
 public:
  void Write(ByteSpan) override {}
};

}  // namespace

void VerifyContainer(ByteSpan container, ByteSpan source, ByteSpan target, const ProgressReport& progress,
                     bool file_views, std::uint64_t source_room) {
  if (progress) progress(Stage::kVerifying, 0, target.size());
  NoOutput nowhere;
  VerifyingSink checked(nowhere, source, target, file_views, progress, source_room);
  SpanRanges container_input(container);
  SpanRanges source_input(source);
  // What the decoder refuses, the maker made wrong.
  const auto decoded = [](const auto& step) {
    try {
      return step();
    } catch (const Exception& fault) {
      throw ENotRebuilt(fault.what());
    }
  };
  const auto decoder =
      decoded([&] { return std::make_unique<container::ContainerDecoder>(container_input, &source_input); });
  std::vector<std::uint8_t> piece(1 << 20);
  for (std::size_t count; (count = decoded([&] { return decoder->Read(piece); })) != 0;)
    checked.Write(ByteSpan(piece).first(count));
  checked.Finish();
}

}  // namespace varnock
