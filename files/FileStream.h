// The target file writer: a file created empty and appended to run by run.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace varnock {

class TStream {
 public:
  virtual ~TStream() = default;

  // Appends `count` bytes (0 or more) or raises EWriteError ("Stream write
  // error"); a run of 0 bytes reaches no RawWrite. The bytes that did go out
  // before a failure stay written.
  void WriteRun(const void* data, std::int32_t count);

 protected:
  // One write of the whole run; returns the bytes written, 0 on failure.
  virtual std::int32_t RawWrite(const void* data, std::int32_t count) = 0;
};

class THandleStream : public TStream {
 public:
  explicit THandleStream(platform::Handle handle) : handle_(handle) {}

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override;

  platform::Handle handle_;
};

class TFileStream : public THandleStream {
 public:
  static constexpr std::uint16_t fmCreate = 0xFFFF;

  // Creates the file, or empties an existing one, and holds it exclusively.
  // Raises EFCreateError, leaving any existing file as it was, when that is
  // impossible, also when the file is open as an input of this run.
  TFileStream(const std::string& file_name, std::uint16_t mode);
  ~TFileStream() override;

  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;
};

}  // namespace varnock
