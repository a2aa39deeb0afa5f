#include "make/PatchVerifier.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "apply/InstructionStream.h"
#include "common/Crc32.h"
#include "common/Errors.h"
#include "format/Bounds.h"
#include "format/Instruction.h"
#include "make/ViewPages.h"

namespace varnock {
namespace {

// Progress is reported each time this much more of the target has been compared.
constexpr std::uint64_t kProgressStep = std::uint64_t{8} << 20;

// Takes the decoder's runs and compares them with the target in place.
class ComparingStream : public TStream {
 public:
  // `pages`: the inputs' pages go back to the system as the check goes, the
  // target's once compared, the source's (`source`) each step and past
  // `source_room`.
  ComparingStream(ByteSpan source, ByteSpan target, const ProgressReport& progress,
                  const maker::ViewPages& pages, std::uint64_t source_room)
      : target_(target),
        progress_(progress),
        pages_(pages),
        source_pages_(pages_, source, std::max(maker::TouchedPages::kLeastRoom, source_room)) {}

  // The CRC-32 of the target compared so far: the whole target's after Finish.
  std::uint32_t TargetCrc() const noexcept { return target_crc_; }

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
    // A step at a time: a copy of most of a large source is held no more
    // than a step of either input.
    for (std::uint64_t done = 0; done < length;) {
      const auto piece = static_cast<std::size_t>(std::min(length - done, maker::kReleaseStep));
      const std::uint8_t* expected = target_.data() + position_;
      if (std::memcmp(run + done, expected, piece) != 0) {
        auto difference = std::mismatch(run + done, run + done + piece, expected).first - (run + done);
        throw Exception("it makes a different byte at offset " + std::to_string(position_ + difference));
      }
      source_pages_.Read({run + done, piece});
      position_ += piece;
      done += piece;
      if (position_ - passed_ >= maker::kReleaseStep) Pass();
      if (position_ - reported_ >= kProgressStep) Report();
    }
    return count;
  }

 private:
  // Takes the checksum of the bytes compared since the last step while they
  // are still at hand, so that the target is read once more, not twice.
  void Pass() {
    const ByteSpan compared = target_.subspan(passed_, position_ - passed_);
    target_crc_ = Crc32(compared, target_crc_);
    pages_.Release(compared);
    source_pages_.Reached(position_);
    passed_ = position_;
  }

  void Report() {
    Pass();
    reported_ = position_;
    if (!progress_) return;
    in_callback_ = true;
    progress_(Stage::kVerifying, position_, target_.size());
    in_callback_ = false;
  }

  ByteSpan target_;
  const ProgressReport& progress_;
  maker::ViewPages pages_;
  maker::TouchedPages source_pages_;
  std::uint64_t position_ = 0;
  std::uint64_t passed_ = 0;
  std::uint64_t reported_ = 0;
  std::uint32_t target_crc_ = 0;
  bool in_callback_ = false;
};

[[noreturn]] void RaiseNotRebuilt(const Exception& fault) { throw ENotRebuilt(fault.Message()); }

}  // namespace

class VerifyingSink::Comparison : public ComparingStream {
  using ComparingStream::ComparingStream;
};

VerifyingSink::VerifyingSink(PatchSink& output, ByteSpan source, ByteSpan target, bool file_views,
                             const ProgressReport& progress, std::uint64_t source_room)
    : output_(output),
      source_(source),
      target_(target),
      pages_(file_views),
      comparison_(std::make_unique<Comparison>(source, target, progress, pages_, source_room)) {}

VerifyingSink::~VerifyingSink() = default;

void VerifyingSink::Write(ByteSpan bytes) {
  try {
    Check(bytes);
  } catch (const Exception& fault) {
    RaiseNotRebuilt(fault);
  }
  output_.Write(bytes);
}

void VerifyingSink::Check(ByteSpan bytes) {
  // A literal's bytes that arrive on their own (the encoder hands a long run
  // over in place) are compared where they are.
  if (held_.empty() && literal_left_ > 0) {
    const std::uint64_t taken = TakeLiteral(bytes);
    consumed_ += taken;
    bytes = bytes.subspan(taken);
  }
  held_.insert(held_.end(), bytes.begin(), bytes.end());
  Decode();
}

std::uint64_t VerifyingSink::TakeLiteral(ByteSpan bytes) {
  const std::uint64_t count = std::min<std::uint64_t>(literal_left_, bytes.size());
  if (!oversized_literal_) comparison_->WriteRun(bytes.data(), static_cast<std::int32_t>(count));
  literal_left_ -= count;
  return count;
}

void VerifyingSink::Decode() {
  std::uint64_t at = 0;
  const ByteSpan held(held_);
  if (!header_) {
    // The header, the signature and one byte more, as ValidatePatch reads them.
    if (held.size() < 4 || held.size() <= (held[0] | held[1] << 8) + std::uint64_t{kSignatureSize}) return;
    header_ = ValidatePatch(
        held, [&] { return Crc32(source_); }, "the patch");
    at = std::uint64_t{header_->header_size} + kSignatureSize;
  }
  while (at < held.size()) {
    if (literal_left_ > 0) {
      at += TakeLiteral(held.subspan(at));
      continue;
    }
    // The applicator finds a literal too long to write only once the patch
    // is seen to hold it whole and the stop after it.
    if (oversized_literal_) throw ERangeError();
    const std::uint8_t code = held[at];
    if (IsLongLiteral(code)) {
      const unsigned width = OperandWidthsOf(code).length;
      if (!FitsWithin(at, 1 + width, held.size())) break;
      literal_left_ = ReadBigEndian(held.data() + at + 1, width);
      oversized_literal_ = literal_left_ > kLongestRun;
      at += 1 + width;
      continue;
    }
    // The stop is the last byte only once the patch is complete.
    if (code == opcode::kStop && at + 1 == held.size()) break;
    // Any other instruction is whole once the decoder no longer finds the
    // patch ending inside it (with one byte more, for the stop).
    const decode::Operation operation =
        decode::DecodeOperation(held.data() + at, at, held.size(), source_.size());
    if (operation.fault == decode::Fault::kUnexpectedEnd) break;
    // Named by its place in the whole patch, not among the bytes held.
    if (operation.fault != decode::Fault::kNone) decode::Raise(operation.fault, consumed_ + at);
    const std::uint8_t* run = (operation.copies ? source_.data() : held.data()) + operation.from;
    comparison_->WriteRun(run, static_cast<std::int32_t>(operation.length));
    at = operation.next;
  }
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(at));
  consumed_ += at;
}

void VerifyingSink::Finish() {
  try {
    if (!header_) {
      header_ = ValidatePatch(
          held_, [&] { return Crc32(source_); }, "the patch");
      consumed_ = std::uint64_t{header_->header_size} + kSignatureSize;
      held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    }
    // The patch's last byte is never an instruction's: it must be the stop,
    // held alone.
    if (held_.empty() && literal_left_ == 0 && consumed_ == header_->header_size + kSignatureSize)
      RaiseStopCheck();
    if (literal_left_ > 0 || held_.size() != 1 || held_[0] != opcode::kStop) RaiseUnexpectedEnd();
    comparison_->Finish();
    if (header_->target_crc != comparison_->TargetCrc())
      throw Exception("its target checksum is not the target's");
  } catch (const Exception& fault) {
    RaiseNotRebuilt(fault);
  }
}

void VerifyPatch(ByteSpan patch, ByteSpan source, ByteSpan target, const ProgressReport& progress,
                 bool file_views, std::uint64_t source_room) {
  if (progress) progress(Stage::kVerifying, 0, target.size());
  const maker::ViewPages pages(file_views);
  ComparingStream stream(source, target, progress, pages, source_room);
  try {
    PatchHeader header = ValidatePatch(
        patch, [&] { return maker::Crc32Passing(pages, source); }, "the patch");
    RunInstructionStream(patch, source, header, stream);
    stream.Finish();
    if (header.target_crc != stream.TargetCrc()) throw Exception("its target checksum is not the target's");
  } catch (const Exception& fault) {
    if (stream.CallbackThrew()) throw;
    RaiseNotRebuilt(fault);
  }
}

}  // namespace varnock
