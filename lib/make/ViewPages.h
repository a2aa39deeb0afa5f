// The pages of the inputs that a run holds. Mapped inputs count in its
// memory as far as it has touched them: a pass over a 128 MiB source held the
// whole of it, more than any index of what the covers leave. Where the inputs
// are read-only views of files (MakerOptions::inputs_are_file_views), what a
// pass has read is handed back to the system behind it, a step at a time,
// and comes back from the file at the next touch; the run then holds what its
// passes are reading. Memory of the caller's own is left alone.
#pragma once

#include <cstdint>
#include <vector>

#include "format/PatchFormat.h"

namespace varnock::maker {

// How far a pass reads before the pages behind it go back: a call to the OS
// per step costs nothing beside reading it, and two steps held (the source's
// and the target's) are small beside the rest of the run.
inline constexpr std::uint64_t kReleaseStep = std::uint64_t{1} << 20;

class ViewPages {
 public:
  ViewPages() = default;
  explicit ViewPages(bool file_views) : file_views_(file_views) {}

  bool FileViews() const { return file_views_; }
  // Hands back the whole pages that lie within `part` of an input.
  void Release(ByteSpan part) const;

 private:
  bool file_views_ = false;
};

// Follows a pass that reads `view` front to back, and hands back the pages
// behind it each time it has gone a step further.
class PassedPages {
 public:
  PassedPages(const ViewPages& pages, ByteSpan view) : pages_(pages), view_(view) {}
  PassedPages(const PassedPages&) = delete;
  PassedPages& operator=(const PassedPages&) = delete;
  ~PassedPages() { Release(view_.size()); }

  // The pass reads nothing before `position` again. Pages go back a whole
  // step at a time: a view starts on a page, and so does every step.
  void Reached(std::uint64_t position) {
    if (position >= released_ + kReleaseStep) Release(position - position % kReleaseStep);
  }

 private:
  void Release(std::uint64_t position);

  const ViewPages& pages_;
  ByteSpan view_;
  std::uint64_t released_ = 0;
};

// Follows a pass over one input that reads `view`, the other, here and
// there: the whole view goes back each time the pass has gone a step
// further (Reached), and what is read after comes back from the file. Where
// the reads follow the pass (the source of a target much like it), that is
// about a step of the view held. Where they jump about (short copies from
// all over the source) and are told (Read), it also goes back once they
// have touched more parts of kPartSize than `room` holds: a read maps what
// the system's fault-around or the file's large pages take, up to 2 MiB,
// and a few hundred of them would hold the whole view within a step. The
// room is what the run holds anyway at that time (an index), so that the
// view goes back only where it would raise the run's peak: reads from all
// over bring back what went, a fault each.
class TouchedPages {
 public:
  static constexpr std::uint64_t kPartSize = std::uint64_t{2} << 20;
  static constexpr std::uint64_t kLeastRoom = 4 * kPartSize;

  TouchedPages(const ViewPages& pages, ByteSpan view, std::uint64_t room = kLeastRoom);
  TouchedPages(const TouchedPages&) = delete;
  TouchedPages& operator=(const TouchedPages&) = delete;
  ~TouchedPages() { pages_.Release(view_); }

  // The pass, over the other input, has come to `position`.
  void Reached(std::uint64_t position) {
    if (position < next_) return;
    Release();
    next_ = position + kReleaseStep;
  }

  // `bytes`, which may lie outside the view, are read.
  void Read(ByteSpan bytes);

 private:
  void Release();

  const ViewPages& pages_;
  ByteSpan view_;
  std::uint64_t held_parts_;
  std::uint64_t next_ = kReleaseStep;
  std::vector<std::uint64_t> held_;  // a bit for each part read since the view went back
  std::uint64_t held_count_ = 0;
};

// Hands the heap's free pages back to the system where the C library keeps
// them: the allocator keeps arrays below the largest freed so far (the block
// table's 3 MiB) in its heap, and held 9 MiB of an index's scratch arrays
// after they were freed on a disk image. Does nothing elsewhere.
void ReturnFreedMemory();

// The CRC-32 of `view`, its pages handed back as it is read.
std::uint32_t Crc32Passing(const ViewPages& pages, ByteSpan view);

}  // namespace varnock::maker
