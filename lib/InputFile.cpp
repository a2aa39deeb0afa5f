#include "lib/InputFile.h"

namespace varnock {

InputFile::InputFile(const std::string& name, InputAccess /*access*/) { mapping_.emplace(name); }

ByteSpan InputFile::Bytes() const noexcept { return mapping_->Bytes(); }

}  // namespace varnock
