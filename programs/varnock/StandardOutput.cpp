#include "programs/varnock/StandardOutput.h"

#include <algorithm>
#include <cstring>

namespace varnock {

void StandardOutputWriter::WriteText(std::string_view text) {
  Append(text);
  FlushIfWriteThrough();
}

void StandardOutputWriter::WriteLine(std::string_view text) { WriteLine({text}); }

void StandardOutputWriter::WriteLine(std::initializer_list<std::string_view> pieces) {
  for (std::string_view piece : pieces) Append(piece);
  Append("\r\n");
  FlushIfWriteThrough();
}

bool StandardOutputWriter::Flush() {
  bool written = true;
  if (open_ && buffered_ > 0) written = platform::WriteStandardOutput(output_.handle, buffer_, buffered_);
  buffered_ = 0;
  return written;
}

bool StandardOutputWriter::EnsureOpen() {
  if (!open_) {
    output_ = platform::OpenStandardOutput();
    open_ = output_.handle != platform::kInvalidHandle;
  }
  return open_;
}

void StandardOutputWriter::Append(std::string_view text) {
  if (!EnsureOpen()) return;
  while (!text.empty()) {
    std::size_t room = std::min(kBufferSize - buffered_, text.size());
    std::memcpy(buffer_ + buffered_, text.data(), room);
    buffered_ += room;
    text.remove_prefix(room);
    // A failed write takes the rest of this text with it.
    if (buffered_ == kBufferSize && !Flush()) return;
  }
}

void StandardOutputWriter::FlushIfWriteThrough() {
  if (open_ && output_.is_character_device) Flush();
}

}  // namespace varnock
