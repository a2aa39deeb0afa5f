// A whole existing file as a read-only byte array, mapped, never copied, with
// its CRC-32 computed on first use. While the object lives the file is open
// for reading only, and no target of this run can be created on it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/platform.h"

namespace varnock {

class TFileMappingAsByteArray {
 public:
  // Yields the whole file or raises EOSError (nothing stays open then).
  // An empty file is held open but not mapped: Data() is null, Size() 0.
  // kListed puts the file on the process's list of inputs (platform.h).
  explicit TFileMappingAsByteArray(const std::string& file_name,
                                   platform::Listing listing = platform::Listing::kListed);
  // Maps a file the caller keeps open (kUnlisted), such as one just written;
  // it is not closed here.
  explicit TFileMappingAsByteArray(platform::Handle open_file);
  ~TFileMappingAsByteArray();

  TFileMappingAsByteArray(const TFileMappingAsByteArray&) = delete;
  TFileMappingAsByteArray& operator=(const TFileMappingAsByteArray&) = delete;

  const std::uint8_t* Data() const noexcept { return data_; }
  std::uint32_t Size() const noexcept { return size_; }
  std::span<const std::uint8_t> Bytes() const noexcept { return {data_, size_}; }
  platform::Handle FileHandle() const noexcept { return file_handle_; }

  // CRC-32 of the whole contents, computed once; never fails.
  std::uint32_t Checksum();

 private:
  void Map();
  void Release() noexcept;

  // Descriptor 0 is a real file where standard input is closed, so only the
  // invalid handle means "no file".
  platform::Handle file_handle_ = platform::kInvalidHandle;
  platform::Handle mapping_handle_ = platform::kNoMapping;
  const std::uint8_t* data_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t cached_checksum_ = 0;
  bool checksum_valid_ = false;
  platform::Listing listing_;
  bool owns_file_ = true;
};

}  // namespace varnock
