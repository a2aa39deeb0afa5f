// The standard output writer through which the program prints everything.
// Text goes out as its bytes; lines end in CR LF. On a character device
// every text is handed over at once, elsewhere through a 128-byte buffer.
// A failed write loses its bytes silently and never changes the run.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "programs/common/Console.h"

namespace varnock {

class StandardOutputWriter {
 public:
  void WriteText(std::string_view text);
  void WriteLine(std::string_view text = {});
  // The pieces as one line, handed over as WriteLine hands over one text;
  // allocates nothing, for the error paths.
  void WriteLine(std::initializer_list<std::string_view> pieces);
  // Hands whatever waits in the buffer to the OS; called at every exit.
  // False when the OS refused it; the bytes are gone either way.
  bool Flush();

 private:
  static constexpr std::size_t kBufferSize = 128;

  bool EnsureOpen();
  void Append(std::string_view text);
  void FlushIfWriteThrough();

  platform::StandardOutput output_;
  bool open_ = false;
  char buffer_[kBufferSize];
  std::size_t buffered_ = 0;
};

}  // namespace varnock
