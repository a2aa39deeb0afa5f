#include "io/MemoryTargets.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/Crc32.h"
#include "common/LibraryErrors.h"

namespace varnock {

CallbackTarget::CallbackTarget(WriteCallback write, void* user_data)
    : write_(write),
      user_data_(user_data),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(TFileStream::kBufferSize)) {
  LendBuffer(buffer_.get(), TFileStream::kBufferSize, TFileStream::kDirectRunLength);
}

CallbackTarget::~CallbackTarget() { HandGathered(); }

bool CallbackTarget::Hand(const std::uint8_t* data, std::size_t count) {
  if (count == 0) return true;
  crc_ = Crc32({data, count}, crc_);
  handed_ += count;
  return write_(user_data_, data, count) == 0;
}

bool CallbackTarget::HandGathered() {
  const auto count = static_cast<std::size_t>(GatherEnd() - buffer_.get());
  LendBuffer(buffer_.get(), TFileStream::kBufferSize, TFileStream::kDirectRunLength);
  return Hand(buffer_.get(), count);
}

void CallbackTarget::Flush() {
  if (!HandGathered()) throw EWriteError();
}

std::int32_t CallbackTarget::RawWrite(const void* data, std::int32_t count) {
  if (!HandGathered()) return 0;
  if (count >= TFileStream::kDirectRunLength) {
    return Hand(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(count)) ? count : 0;
  }
  Gather(data, count);
  return count;
}

std::uint32_t CallbackTarget::Checksum(Progress& progress) {
  // Taken on the way out: the bytes are the caller's now.
  progress.Report(Stage::kVerifying, handed_, handed_);
  return crc_;
}

namespace {
// The most a lent window can hold: the room is a signed 32-bit count.
constexpr std::size_t kLargestWindow = std::numeric_limits<std::int32_t>::max();
}  // namespace

BufferTarget::BufferTarget(std::uint8_t* buffer, std::size_t capacity)
    : buffer_(buffer), end_(buffer + capacity), window_start_(buffer) {
  LendWindow(buffer);
}

void BufferTarget::LendWindow(std::uint8_t* at) {
  before_window_ = static_cast<std::size_t>(at - buffer_);
  window_start_ = at;
  const std::size_t room = std::min(kLargestWindow, static_cast<std::size_t>(end_ - at));
  // Every run fits the gathering path, so only a run that does not fit the
  // window reaches RawWrite.
  LendBuffer(at, static_cast<std::int32_t>(room), std::numeric_limits<std::int32_t>::max());
}

std::int32_t BufferTarget::RawWrite(const void* data, std::int32_t count) {
  std::uint8_t* at = GatherEnd();
  if (static_cast<std::size_t>(count) > static_cast<std::size_t>(end_ - at)) throw EBufferTooSmall();
  std::memcpy(at, data, static_cast<std::size_t>(count));
  LendWindow(at + count);
  return count;
}

std::uint32_t BufferTarget::Checksum(Progress& progress) {
  return Crc32WithProgress({buffer_, Written()}, Stage::kVerifying, progress);
}

}  // namespace varnock
