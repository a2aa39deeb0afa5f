// The maker's patch put in a container (doc/container-format.md): the raw
// patch is held whole as it is made, then encoded, and the container is
// proved to decode back to it before it goes out: once, in memory or as
// read back from where it was written.
#pragma once

#include <utility>
#include <vector>

#include "make/Maker.h"

namespace varnock {

// Holds the raw patch as the maker writes it.
class RawPatchCollector : public PatchSink {
 public:
  void Write(ByteSpan bytes) override { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
  ByteSpan Bytes() const noexcept { return bytes_; }
  // The bytes held, handed over; the collector is left empty.
  std::vector<std::uint8_t> Release() noexcept { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// A container, and the raw patch it carries where that is not the one it
// was made from: for an executable whose references it predicts, the
// copies the prediction makes needless are folded into literals.
struct MadeContainer {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> carried;  // empty: it carries the raw patch given
  ByteSpan Carries(ByteSpan raw) const noexcept { return carried.empty() ? raw : ByteSpan(carried); }
};

// The container of `raw`, made for `source` on up to `threads` threads (0:
// one per core), checked to decode back to the patch it carries, and that
// patch, where it is another, to rebuild `target`; raises Exception if not.
MadeContainer MakeContainer(ByteSpan raw, ByteSpan source, ByteSpan target, unsigned threads);

// The same container unchecked, for a caller that checks what it wrote:
// the patch it carries against the target, the container as read back.
MadeContainer MakeUncheckedContainer(ByteSpan raw, ByteSpan source, unsigned threads);

// Raises Exception unless `container` decodes to exactly `raw`, the patch it carries.
void CheckContainer(ByteSpan container, ByteSpan raw, ByteSpan source);

}  // namespace varnock
