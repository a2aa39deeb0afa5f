#include "files/FileContents.h"

#include <algorithm>
#include <utility>

#include "files/Crc32.h"
#include "files/Errors.h"

namespace varnock {
namespace {

// An open input, closed however the reading ends.
class ReadHandle {
 public:
  explicit ReadHandle(const std::string& name)
      : handle_(platform::OpenInputFile(name, platform::Listing::kUnlisted)) {
    if (handle_ == platform::kInvalidHandle) RaiseLastOSError();
    try {
      if (!platform::QueryFileSize(handle_, &size_)) RaiseLastOSError();
    } catch (...) {
      Close();
      throw;
    }
  }
  ~ReadHandle() { Close(); }
  ReadHandle(const ReadHandle&) = delete;
  ReadHandle& operator=(const ReadHandle&) = delete;

  std::uint32_t Size() const noexcept { return size_; }
  platform::Handle Release() noexcept { return std::exchange(handle_, platform::kInvalidHandle); }

  // Reads exactly `count` bytes, the next ones of the file.
  void ReadExactly(const std::string& name, std::uint8_t* into, std::uint32_t count) {
    std::uint32_t read = 0;
    if (!platform::ReadFile(handle_, into, count, &read)) RaiseLastOSError();
    if (read != count) throw EInputShortened(name);
  }

 private:
  void Close() noexcept {
    if (handle_ != platform::kInvalidHandle) platform::CloseFile(handle_, platform::Listing::kUnlisted);
    handle_ = platform::kInvalidHandle;
  }

  platform::Handle handle_;
  std::uint32_t size_ = 0;
};

// Large enough that a read costs little per byte, small enough to stay in cache.
constexpr std::uint32_t kPiece = 1 << 20;

}  // namespace

TFileContents::TFileContents(const std::string& file_name) {
  ReadHandle file(file_name);
  size_ = file.Size();
  bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(size_);
  for (std::uint32_t done = 0; done < size_;) {
    const std::uint32_t count = std::min(kPiece << 4, size_ - done);
    file.ReadExactly(file_name, bytes_.get() + done, count);
    done += count;
  }
  file_handle_ = file.Release();
}

TFileContents::~TFileContents() { platform::CloseFile(file_handle_, platform::Listing::kUnlisted); }

std::uint32_t ChecksumOfFile(const std::string& file_name, const ReadProgress& progress) {
  ReadHandle file(file_name);
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kPiece);
  std::uint32_t crc = 0;
  for (std::uint32_t done = 0;;) {
    if (progress) progress(done, file.Size());
    if (done == file.Size()) return crc;
    const std::uint32_t count = std::min(kPiece, file.Size() - done);
    file.ReadExactly(file_name, buffer.get(), count);
    crc = Crc32({buffer.get(), count}, crc);
    done += count;
  }
}

}  // namespace varnock
