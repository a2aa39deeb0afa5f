#include "io/FileMapping.h"

#include "common/Crc32.h"
#include "common/Errors.h"

namespace varnock {

TFileMappingAsByteArray::TFileMappingAsByteArray(const std::string& file_name, platform::Listing listing)
    : listing_(listing) {
  file_handle_ = platform::OpenInputFile(file_name, listing);
  if (file_handle_ == platform::kInvalidHandle) RaiseLastOSError();
  Map();
}

TFileMappingAsByteArray::TFileMappingAsByteArray(platform::Handle open_file)
    : file_handle_(open_file), listing_(platform::Listing::kUnlisted), owns_file_(false) {
  Map();
}

void TFileMappingAsByteArray::Map() {
  try {
    if (!platform::QueryFileSize(file_handle_, &size_)) RaiseLastOSError();
    if (size_ == 0) {
      checksum_valid_ = true;
      return;
    }
    mapping_handle_ = platform::CreateReadOnlyMapping(file_handle_);
    if (mapping_handle_ == platform::kNoMapping) RaiseLastOSError();
    data_ = platform::MapReadOnlyView(file_handle_, mapping_handle_, size_, listing_);
    if (data_ == nullptr) RaiseLastOSError();
  } catch (...) {
    Release();
    throw;
  }
}

TFileMappingAsByteArray::~TFileMappingAsByteArray() { Release(); }

void TFileMappingAsByteArray::Release() noexcept {
  if (data_ != nullptr) platform::UnmapView(data_, size_, listing_);
  if (mapping_handle_ != platform::kNoMapping) platform::CloseMapping(mapping_handle_);
  if (file_handle_ != platform::kInvalidHandle && owns_file_) platform::CloseFile(file_handle_, listing_);
  data_ = nullptr;
  mapping_handle_ = platform::kNoMapping;
  file_handle_ = platform::kInvalidHandle;
}

std::uint32_t TFileMappingAsByteArray::Checksum() {
  if (!checksum_valid_) {
    cached_checksum_ = Crc32(Bytes());
    checksum_valid_ = true;
  }
  return cached_checksum_;
}

}  // namespace varnock
