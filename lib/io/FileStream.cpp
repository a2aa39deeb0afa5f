#include "io/FileStream.h"

#include <cstring>

#include "common/Errors.h"

namespace varnock {

void TStream::RaiseWriteError() { throw EWriteError(); }

std::int32_t THandleStream::RawWrite(const void* data, std::int32_t count) {
  std::uint32_t written = 0;
  if (!platform::WriteFile(handle_, data, static_cast<std::uint32_t>(count), &written)) return 0;
  return static_cast<std::int32_t>(written);
}

// The buffer comes first: running out of memory for it must leave an
// existing target as it was, not emptied.
TFileStream::TFileStream(const std::string& file_name, std::uint16_t /*mode*/,
                         std::span<const platform::Handle> inputs, platform::Listing listing)
    : THandleStream(platform::kInvalidHandle),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize)),
      listing_(listing) {
  handle_ = platform::CreateTargetFile(file_name, inputs, listing);
  if (handle_ < 0) {
    // The code goes first: forming the absolute name may itself touch it.
    std::uint32_t code = platform::LastErrorCode();
    std::string full_name = platform::FullPathName(file_name);
    throw EFCreateError("Cannot create file \"" + full_name + "\". " + SystemErrorText(code));
  }
  LendBuffer(buffer_.get(), kBufferSize, kDirectRunLength);
  if (listing_ == platform::Listing::kUnlisted) return;
  held_back_ = {handle_, buffer_.get(), GatherEndAddress()};
  platform::SetHeldBackOutput(&held_back_);
}

TFileStream::~TFileStream() {
  if (handle_ < 0) return;
  if (listing_ == platform::Listing::kListed) platform::SetHeldBackOutput(nullptr);
  WriteGathered();
  platform::CloseFile(handle_, platform::Listing::kUnlisted);
}

void TFileStream::Flush() {
  if (!WriteGathered()) throw EWriteError();
}

std::int32_t TFileStream::RawWrite(const void* data, std::int32_t count) {
  if (!WriteGathered()) return 0;
  if (count >= kDirectRunLength) return THandleStream::RawWrite(data, count);
  Gather(data, count);
  return count;
}

bool TFileStream::WriteGathered() noexcept {
  const auto count = static_cast<std::int32_t>(GatherEnd() - buffer_.get());
  LendBuffer(buffer_.get(), kBufferSize, kDirectRunLength);
  return count == 0 || THandleStream::RawWrite(buffer_.get(), count) == count;
}

}  // namespace varnock
