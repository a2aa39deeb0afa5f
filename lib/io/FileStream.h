// The target file writer: a file created empty and appended to run by run.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "platform/platform.h"

namespace varnock {

class TStream {
 public:
  virtual ~TStream() = default;

  // Appends `count` bytes (0 or more) or raises EWriteError ("Stream write
  // error"); a run of 0 bytes reaches no RawWrite. The bytes that did go out
  // before a failure stay written. Inline, as it runs once per instruction: a
  // short run that fits in the buffer a stream lends (below) is copied there
  // with no call at all.
  void WriteRun(const void* data, std::int32_t count) {
    if (count == 0) return;
    if (count < gather_limit_ && count <= gather_room_) {
      Gather(data, count);
    } else if (RawWrite(data, count) != count) {
      RaiseWriteError();
    }
  }

  // Hands the OS every run this stream still holds back, or raises
  // EWriteError. After it returns, the file holds every run written so far.
  virtual void Flush() {}

 protected:
  // Takes the whole run; returns the bytes taken, 0 on failure.
  virtual std::int32_t RawWrite(const void* data, std::int32_t count) = 0;

  // A stream that gathers runs lends WriteRun the free part of its buffer:
  // `room` bytes from `at`, for runs shorter than `limit`.
  void LendBuffer(std::uint8_t* at, std::int32_t room, std::int32_t limit) noexcept {
    gather_at_ = at;
    gather_room_ = room;
    gather_limit_ = limit;
  }
  void Gather(const void* data, std::int32_t count) noexcept {
    std::memcpy(gather_at_, data, static_cast<std::size_t>(count));
    gather_at_ += count;
    gather_room_ -= count;
  }
  std::uint8_t* GatherEnd() const noexcept { return gather_at_; }
  std::uint8_t* const* GatherEndAddress() const noexcept { return &gather_at_; }

 private:
  [[noreturn]] static void RaiseWriteError();

  std::uint8_t* gather_at_ = nullptr;
  std::int32_t gather_room_ = 0;
  std::int32_t gather_limit_ = 0;
};

class THandleStream : public TStream {
 public:
  explicit THandleStream(platform::Handle handle) : handle_(handle) {}

 protected:
  // One OS write of the whole run.
  std::int32_t RawWrite(const void* data, std::int32_t count) override;

  platform::Handle handle_;
};

// Gathers short runs in a buffer of its own, since one OS write per run costs
// far more than copying the run; a long run goes to the OS straight from where
// it lies, after what was gathered. A failed OS write makes the run at hand
// fail and drops what was gathered, so no byte is ever handed over twice.
class TFileStream : public THandleStream {
 public:
  static constexpr std::uint16_t fmCreate = 0xFFFF;
  // Measured (bench/README.md): below 128 KiB a run costs more as an OS write
  // of its own than copied into the buffer; from there on they cost the same.
  static constexpr std::int32_t kBufferSize = 1 << 20;
  static constexpr std::int32_t kDirectRunLength = 128 << 10;

  // Creates the file, or empties an existing one, and holds it exclusively.
  // Raises EFCreateError, leaving any existing file as it was, when that is
  // impossible, also when the file is one of `inputs` or, kListed, an input on
  // the process's list. kListed also tells the process's input fault handler
  // what this stream holds back (platform::SetHeldBackOutput).
  TFileStream(const std::string& file_name, std::uint16_t mode, std::span<const platform::Handle> inputs = {},
              platform::Listing listing = platform::Listing::kListed);
  // Hands over what was gathered (a failure then goes unreported), so that a
  // run that ends in an error still leaves every run written before it.
  ~TFileStream() override;

  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  void Flush() override;

 protected:
  // Reached by a run that is long or does not fit in what is left of the
  // buffer: what was gathered goes out first.
  std::int32_t RawWrite(const void* data, std::int32_t count) override;

 private:
  // Empties the buffer into the file; false when the OS write failed.
  bool WriteGathered() noexcept;

  std::unique_ptr<std::uint8_t[]> buffer_;
  // What an input fault must still write out: the runs gathered so far.
  platform::HeldBackOutput held_back_{};
  platform::Listing listing_;
};

}  // namespace varnock
