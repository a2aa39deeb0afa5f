// An input a host hands over by ranges through its read callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "io/InputRanges.h"

namespace varnock {

// Same shape as the public varnock_read_fn.
using ReadCallback = std::int64_t (*)(void* user_data, std::uint64_t offset, std::uint8_t* buffer,
                                      std::size_t size);

// The most a callback is asked for at once, as varnock.h promises the host:
// a read of more, a container's whole stream for one, is asked in pieces.
inline constexpr std::size_t kLongestCallbackRead = std::size_t{1} << 20;

// Asks the callback again for the rest after a short count; raises
// EInputShortened, naming the input `name`, when it hands over nothing while
// bytes remain, and EReadError when it fails or claims more than it was asked.
class CallbackInput final : public InputRanges {
 public:
  CallbackInput(ReadCallback read, void* user_data, std::uint64_t size, std::string name)
      : read_(read), user_data_(user_data), size_(size), name_(std::move(name)) {}

  std::uint64_t Size() const noexcept override { return size_; }
  void Read(std::uint64_t offset, std::span<std::uint8_t> into) override;

 private:
  ReadCallback read_;
  void* user_data_;
  std::uint64_t size_;
  std::string name_;
};

}  // namespace varnock
