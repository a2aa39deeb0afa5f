#include "make/encode/ContainerEncoder.h"

#include "make/encode/FoldedCopies.h"

namespace varnock::container {
namespace {

class Collector : public PatchSink {
 public:
  void Write(ByteSpan bytes) override { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
  Bytes bytes_;
};

Bytes Write(ByteSpan raw_patch, ByteSpan source, unsigned threads, const EncodeOptions& options,
            EncodeReport& report) {
  ContainerBytes out;
  ContainerWriter writer(source, threads, options, out);
  writer.Write(raw_patch);
  report = writer.Finish();
  return std::move(out.bytes());
}

}  // namespace

Bytes EncodeContainer(ByteSpan raw_patch, ByteSpan source, unsigned threads, const EncodeOptions& options,
                      EncodeReport* report, Bytes* carried) {
  if (carried != nullptr) carried->clear();
  EncodeReport told;
  ContainerBytes out;
  Collector folded;
  bool predicts = false;
  {
    // The writer's own predictor tells whether there is anything to fold for.
    ContainerWriter writer(source, threads, options, out);
    predicts = writer.Predicts();
    if (predicts) {
      CopyFolder folder(source, folded);
      folder.Write(raw_patch);
      if (!folder.Finish()) folded.bytes_.clear();
    }
    writer.Write(folded.bytes_.empty() ? raw_patch : ByteSpan(folded.bytes_));
    told = writer.Finish();
  }
  Bytes container = std::move(out.bytes());
  bool folds = !folded.bytes_.empty();
  if (predicts && raw_patch.size() <= kLargestUnsurePatch) {
    // The other ways, kept where smaller: as parsed, predicting, where the
    // folded patch is another; and the first version's.
    for (const bool predict : {true, false}) {
      if (predict && !folds) continue;
      EncodeReport other_report;
      Bytes other = Write(raw_patch, source, threads, {options.block_limit, predict}, other_report);
      if (other.size() < container.size()) {
        container = std::move(other);
        told = other_report;
        folds = false;
      }
    }
  }
  if (report != nullptr) *report = told;
  if (carried != nullptr && folds) *carried = std::move(folded.bytes_);
  return container;
}

}  // namespace varnock::container
