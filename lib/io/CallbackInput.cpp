#include "io/CallbackInput.h"

#include <algorithm>

#include "common/LibraryErrors.h"

namespace varnock {

void CallbackInput::Read(std::uint64_t offset, std::span<std::uint8_t> into) {
  for (std::size_t done = 0; done < into.size();) {
    const std::size_t wanted = std::min(into.size() - done, kLongestCallbackRead);
    const std::int64_t got = read_(user_data_, offset + done, into.data() + done, wanted);
    if (got < 0 || static_cast<std::uint64_t>(got) > wanted) throw EReadError();
    if (got == 0) throw EInputShortened(name_);
    done += static_cast<std::size_t>(got);
  }
}

}  // namespace varnock
