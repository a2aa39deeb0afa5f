#include "programs/varnock/ApplyPatch.h"

#include "internal/Apply.h"

namespace varnock {
namespace {

enum ArgumentPosition { kSourceArgument = 1, kTargetArgument = 2, kPatchArgument = 3 };

// The library tells when each stage begins; the program shows it as a step.
class StepMarkers : public ProgressSink {
 public:
  explicit StepMarkers(FrontEnd& front_end) : front_end_(front_end) {}
  bool Report(Stage stage, std::uint64_t /*done*/, std::uint64_t /*total*/) override {
    switch (stage) {
      case Stage::kChecksum:
        front_end_.WriteText("Step 2 ");
        break;
      case Stage::kWriting:
        front_end_.WriteText("Step 3 ");
        break;
      case Stage::kVerifying:
        front_end_.WriteText("Step 4 ");
        break;
      case Stage::kIndexing:
      case Stage::kMatching:
        break;
    }
    return true;
  }

 private:
  FrontEnd& front_end_;
};

}  // namespace

void ApplyPatch(FrontEnd& front_end) {
  front_end.WriteText("Step 1 ");
  StepMarkers markers(front_end);
  Progress progress(&markers, /*counts_bytes=*/false);
  ApplyPatchFiles({front_end.Argument(kSourceArgument), front_end.Argument(kTargetArgument),
                   front_end.Argument(kPatchArgument)},
                  InputAccess::kMappedWatched, progress);
  // The library has closed the patch by now, as step 5 does; nothing of it
  // can fail, so the marker comes after it, with the same output.
  front_end.WriteText("Step 5 ");
  front_end.WriteLine("OK");
}

}  // namespace varnock
