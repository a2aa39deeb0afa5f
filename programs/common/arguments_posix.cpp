// Arguments come as bytes on POSIX systems, already split by the caller.
#include "programs/common/Arguments.h"

namespace varnock::platform {

std::optional<std::vector<std::string>> Utf8Arguments() { return std::nullopt; }

}  // namespace varnock::platform
