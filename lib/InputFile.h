// An input file as one byte span, mapped or read as the caller chose.
#pragma once

#include <optional>
#include <string>

#include "files/FileMapping.h"
#include "lib/Apply.h"

namespace varnock {

class InputFile {
 public:
  // Raises EOSError when the file cannot be opened, mapped or read.
  InputFile(const std::string& name, InputAccess access);

  ByteSpan Bytes() const noexcept;

 private:
  std::optional<TFileMappingAsByteArray> mapping_;
};

}  // namespace varnock
