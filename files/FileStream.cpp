#include "files/FileStream.h"

#include <cstring>

#include "files/Errors.h"

namespace varnock {

void TStream::RaiseWriteError() { throw EWriteError(); }

std::int32_t THandleStream::RawWrite(const void* data, std::int32_t count) {
  std::uint32_t written = 0;
  if (!platform::WriteFile(handle_, data, static_cast<std::uint32_t>(count), &written)) return 0;
  return static_cast<std::int32_t>(written);
}

TFileStream::TFileStream(const std::string& file_name, std::uint16_t /*mode*/)
    : THandleStream(platform::CreateTargetFile(file_name)) {
  if (handle_ < 0) {
    // The code goes first: forming the absolute name may itself touch it.
    std::uint32_t code = platform::LastErrorCode();
    std::string full_name = platform::FullPathName(file_name);
    throw EFCreateError("Cannot create file \"" + full_name + "\". " + SystemErrorText(code));
  }
  try {
    buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
  } catch (...) {
    platform::CloseFile(handle_);
    throw;
  }
}

TFileStream::~TFileStream() {
  if (handle_ < 0) return;
  WriteGathered();
  platform::CloseFile(handle_);
}

void TFileStream::Flush() {
  if (!WriteGathered()) throw EWriteError();
}

std::int32_t TFileStream::RawWrite(const void* data, std::int32_t count) {
  if (count < kDirectRunLength && count <= kBufferSize - gathered_) [[likely]] {
    std::memcpy(buffer_.get() + gathered_, data, static_cast<std::size_t>(count));
    gathered_ += count;
    return count;
  }
  return WriteMakingRoom(data, count);
}

// Kept out of line so that the gathering above stays a leaf call.
[[gnu::noinline]] std::int32_t TFileStream::WriteMakingRoom(const void* data, std::int32_t count) {
  if (!WriteGathered()) return 0;
  if (count >= kDirectRunLength) return THandleStream::RawWrite(data, count);
  std::memcpy(buffer_.get(), data, static_cast<std::size_t>(count));
  gathered_ = count;
  return count;
}

bool TFileStream::WriteGathered() noexcept {
  if (gathered_ == 0) return true;
  std::int32_t count = gathered_;
  gathered_ = 0;
  return THandleStream::RawWrite(buffer_.get(), count) == count;
}

}  // namespace varnock
