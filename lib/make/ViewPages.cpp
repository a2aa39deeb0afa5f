#include "make/ViewPages.h"

#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/Crc32.h"
#include "platform/platform.h"

namespace varnock::maker {

void ViewPages::Release(ByteSpan part) const {
  if (file_views_) platform::ReleaseViewPages(part.data(), part.size());
}

void PassedPages::Release(std::uint64_t position) {
  position = std::min<std::uint64_t>(position, view_.size());
  if (position <= released_) return;
  // From the start: what the pass read behind itself (a block compared with
  // its first copy) goes too.
  pages_.Release(view_.first(position));
  released_ = position;
}

TouchedPages::TouchedPages(const ViewPages& pages, ByteSpan view, std::uint64_t room)
    : pages_(pages), view_(view), held_parts_(std::max<std::uint64_t>(1, room / kPartSize)) {
  if (pages.FileViews()) held_.assign((view.size() / kPartSize + 64) / 64, 0);
}

void TouchedPages::Read(ByteSpan bytes) {
  if (!pages_.FileViews() || bytes.empty()) return;
  const std::uint8_t* const start = view_.data();
  if (bytes.data() < start || bytes.data() >= start + view_.size()) return;
  const auto from = static_cast<std::uint64_t>(bytes.data() - start);
  const std::uint64_t last = (std::min<std::uint64_t>(from + bytes.size(), view_.size()) - 1) / kPartSize;
  for (std::uint64_t part = from / kPartSize; part <= last; ++part) {
    const std::uint64_t bit = std::uint64_t{1} << (part % 64);
    if (held_[part / 64] & bit) continue;
    if (held_count_ == held_parts_) Release();
    held_[part / 64] |= bit;
    ++held_count_;
  }
}

void TouchedPages::Release() {
  pages_.Release(view_);
  if (held_count_ > 0) std::fill(held_.begin(), held_.end(), 0);
  held_count_ = 0;
}

void ReturnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

std::uint32_t Crc32Passing(const ViewPages& pages, ByteSpan view) {
  std::uint32_t crc = 0;
  PassedPages passed(pages, view);
  for (std::uint64_t from = 0; from < view.size(); from += kReleaseStep) {
    const std::uint64_t size = std::min<std::uint64_t>(kReleaseStep, view.size() - from);
    crc = Crc32(view.subspan(from, size), crc);
    passed.Reached(from + size);
  }
  return crc;
}

}  // namespace varnock::maker
