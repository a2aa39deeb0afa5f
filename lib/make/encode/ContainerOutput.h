// The maker's patch put in a container (doc/container-format.md): the raw
// patch is held whole as it is made, then encoded, and the container is
// proved to decode back to it before it goes out: once, in memory or as
// read back from where it was written.
#pragma once

#include <vector>

#include "make/Maker.h"

namespace varnock {

// Holds the raw patch as the maker writes it.
class RawPatchCollector : public PatchSink {
 public:
  void Write(ByteSpan bytes) override { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
  ByteSpan Bytes() const noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// The container of `raw`, made for `source` on up to `threads` threads (0:
// one per core), checked to decode back to `raw`; raises Exception if not.
std::vector<std::uint8_t> MakeContainer(ByteSpan raw, ByteSpan source, unsigned threads);

// The same container unchecked, for a caller that checks what it wrote.
std::vector<std::uint8_t> MakeUncheckedContainer(ByteSpan raw, ByteSpan source, unsigned threads);

// Raises Exception unless `container` decodes to exactly `raw`.
void CheckContainer(ByteSpan container, ByteSpan raw, ByteSpan source);

}  // namespace varnock
