// An input file as one byte span, mapped or read as the caller chose.
#pragma once

#include <optional>
#include <string>

#include "files/FileContents.h"
#include "files/FileMapping.h"
#include "lib/Apply.h"

namespace varnock {

class InputFile {
 public:
  // Raises EOSError when the file cannot be opened, mapped or read.
  InputFile(const std::string& name, InputAccess access);

  ByteSpan Bytes() const noexcept;
  platform::Handle FileHandle() const noexcept;

 private:
  std::optional<TFileMappingAsByteArray> mapping_;
  std::optional<TFileContents> contents_;
};

// Whether files opened for `access` go on the process's list of inputs.
platform::Listing ListingFor(InputAccess access);

// The CRC-32 of a whole file, opened for `access`, with Stage::kVerifying's progress.
std::uint32_t ChecksumOfFile(const std::string& name, InputAccess access, Progress& progress);

}  // namespace varnock
