#include "maker/PatchVerifier.h"

#include <algorithm>
#include <cstring>

#include "files/Crc32.h"
#include "files/Errors.h"

namespace varnock {
namespace {

// Progress is reported each time this much more of the target has been compared.
constexpr std::uint64_t kProgressStep = std::uint64_t{8} << 20;

// Takes the decoder's runs and compares them with the target in place.
class ComparingStream : public TStream {
 public:
  ComparingStream(ByteSpan target, const MakerProgress& progress) : target_(target), progress_(progress) {}

  void Finish() {
    if (position_ != target_.size()) {
      throw Exception("it makes " + std::to_string(position_) + " bytes of the target's " +
                      std::to_string(target_.size()));
    }
    Report();
  }

  // An exception from the progress callback is the caller's, not a fault.
  bool CallbackThrew() const noexcept { return in_callback_; }

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override {
    const auto length = static_cast<std::uint64_t>(count);
    if (length > target_.size() - position_) throw Exception("it makes more bytes than the target has");
    const auto* run = static_cast<const std::uint8_t*>(data);
    const std::uint8_t* expected = target_.data() + position_;
    if (std::memcmp(run, expected, length) != 0) {
      auto difference = std::mismatch(run, run + length, expected).first - run;
      throw Exception("it makes a different byte at offset " + std::to_string(position_ + difference));
    }
    position_ += length;
    if (position_ - reported_ >= kProgressStep) Report();
    return count;
  }

 private:
  void Report() {
    reported_ = position_;
    if (!progress_) return;
    in_callback_ = true;
    progress_(MakerStage::kVerifying, position_, target_.size());
    in_callback_ = false;
  }

  ByteSpan target_;
  const MakerProgress& progress_;
  std::uint64_t position_ = 0;
  std::uint64_t reported_ = 0;
  bool in_callback_ = false;
};

}  // namespace

void VerifyPatch(ByteSpan patch, ByteSpan source, ByteSpan target, const MakerProgress& progress) {
  if (progress) progress(MakerStage::kVerifying, 0, target.size());
  ComparingStream stream(target, progress);
  try {
    PatchHeader header = ValidatePatch(
        patch, [&] { return Crc32(source); }, "the patch");
    RunInstructionStream(patch, source, header, stream);
    stream.Finish();
    if (header.target_crc != Crc32(target)) throw Exception("its target checksum is not the target's");
  } catch (const Exception& fault) {
    if (stream.CallbackThrew()) throw;
    throw Exception("The patch made does not rebuild the target: " + fault.Message());
  }
}

}  // namespace varnock
