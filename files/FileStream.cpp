#include "files/FileStream.h"

#include "files/Errors.h"

namespace varnock {

void TStream::WriteRun(const void* data, std::int32_t count) {
  if (count == 0) return;
  if (RawWrite(data, count) != count) throw EWriteError();
}

std::int32_t THandleStream::RawWrite(const void* data, std::int32_t count) {
  std::uint32_t written = 0;
  if (!platform::WriteFile(handle_, data, static_cast<std::uint32_t>(count), &written)) return 0;
  return static_cast<std::int32_t>(written);
}

TFileStream::TFileStream(const std::string& file_name, std::uint16_t /*mode*/)
    : THandleStream(platform::CreateTargetFile(file_name)) {
  if (handle_ >= 0) return;
  // The code goes first: forming the absolute name may itself touch it.
  std::uint32_t code = platform::LastErrorCode();
  std::string full_name = platform::FullPathName(file_name);
  throw EFCreateError("Cannot create file \"" + full_name + "\". " + SystemErrorText(code));
}

TFileStream::~TFileStream() {
  if (handle_ >= 0) platform::CloseFile(handle_);
}

}  // namespace varnock
