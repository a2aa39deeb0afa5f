// Targets that are no file: the caller's callback, the caller's buffer, and a
// count that keeps no byte at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/Progress.h"
#include "io/FileStream.h"

namespace varnock {

// A target the caller keeps: it can only be checked as it was handed over.
class MemoryTarget : public TStream {
 public:
  // The CRC-32 of every byte written, with kVerifying's progress.
  virtual std::uint32_t Checksum(Progress& progress) = 0;
};

// Same shape as the public varnock_write_fn: 0 means go on.
using WriteCallback = std::int32_t (*)(void* user_data, const std::uint8_t* data, std::size_t size);

// Gathers short runs, as the file writer does, and hands them to the callback
// in large pieces, long runs straight from where they lie. A callback that
// fails makes the run at hand fail with EWriteError.
class CallbackTarget : public MemoryTarget {
 public:
  CallbackTarget(WriteCallback write, void* user_data);
  // Hands over what was gathered, so that a run stopped by an error or by
  // its caller has handed over every run before the stop.
  ~CallbackTarget() override;

  void Flush() override;
  std::uint32_t Checksum(Progress& progress) override;

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override;

 private:
  // Hands the bytes to the callback; false when it refused them.
  bool Hand(const std::uint8_t* data, std::size_t count);
  bool HandGathered();

  WriteCallback write_;
  void* user_data_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::uint32_t crc_ = 0;
  std::uint64_t handed_ = 0;
};

// Writes into the caller's buffer and nowhere else: each run is copied there
// once. A run that does not fit raises EBufferTooSmall, leaving the runs before.
class BufferTarget : public MemoryTarget {
 public:
  BufferTarget(std::uint8_t* buffer, std::size_t capacity);

  std::size_t Written() const noexcept {
    return static_cast<std::size_t>(GatherEnd() - window_start_) + before_window_;
  }
  std::uint32_t Checksum(Progress& progress) override;

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override;

 private:
  void LendWindow(std::uint8_t* at);

  std::uint8_t* buffer_;
  std::uint8_t* end_;
  std::uint8_t* window_start_;
  std::size_t before_window_ = 0;
};

// Keeps only the count of bytes written.
class CountingTarget : public TStream {
 public:
  std::uint64_t Written() const noexcept { return written_; }

 protected:
  std::int32_t RawWrite(const void* /*data*/, std::int32_t count) override {
    written_ += static_cast<std::uint64_t>(count);
    return count;
  }

 private:
  std::uint64_t written_ = 0;
};

}  // namespace varnock
