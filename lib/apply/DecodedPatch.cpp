#include "apply/DecodedPatch.h"

#include <algorithm>

#include "common/Errors.h"
#include "format/PatchFormat.h"

namespace varnock {
namespace {

// Decoded at a time: large enough that the decoder's call costs nothing.
constexpr std::size_t kDecodeStep = 64 << 10;

}  // namespace

DecodedPatch::DecodedPatch(std::unique_ptr<RawPatchDecoder> decoder)
    : decoder_(std::move(decoder)), size_(decoder_->RawLength()) {}

void DecodedPatch::Fill(std::uint64_t end) {
  while (window_start_ + window_.size() < end) {
    const std::size_t had = window_.size();
    window_.resize(had + kDecodeStep);
    const std::size_t got = decoder_->Read({window_.data() + had, kDecodeStep});
    window_.resize(had + got);
    // The decoders raise their own error for a stream shorter than it says.
    if (got == 0) throw Exception(ErrorKind::kOther, "A decoded patch ended before its length");
    const std::uint64_t decoded_end = window_start_ + window_.size();
    if (head_.size() < kLongestPatchHead && head_.size() < decoded_end) {
      const auto from = static_cast<std::size_t>(head_.size() - window_start_);
      const auto count =
          static_cast<std::size_t>(std::min<std::uint64_t>(kLongestPatchHead, decoded_end) - head_.size());
      head_.insert(head_.end(), window_.begin() + static_cast<std::ptrdiff_t>(from),
                   window_.begin() + static_cast<std::ptrdiff_t>(from + count));
    }
  }
}

void DecodedPatch::Read(std::uint64_t offset, std::span<std::uint8_t> into) {
  if (offset + into.size() <= head_.size()) {
    std::copy_n(head_.begin() + static_cast<std::ptrdiff_t>(offset), into.size(), into.begin());
    return;
  }
  if (offset < window_start_) {
    decoder_->Restart();
    head_.clear();
    window_.clear();
    window_start_ = 0;
  }
  // What lies before this read is never read again, but for the head.
  const auto drop = static_cast<std::size_t>(std::min<std::uint64_t>(offset - window_start_, window_.size()));
  window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(drop));
  window_start_ += drop;
  Fill(offset + into.size());
  std::copy_n(window_.begin() + static_cast<std::ptrdiff_t>(offset - window_start_), into.size(),
              into.begin());
}

}  // namespace varnock
