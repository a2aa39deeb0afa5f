#include "make/encode/ContainerOutput.h"

#include <algorithm>
#include <thread>

#include "apply/ContainerDecoder.h"
#include "format/Bounds.h"
#include "make/PatchVerifier.h"
#include "make/encode/ContainerEncoder.h"

namespace varnock {

MadeContainer MakeContainer(ByteSpan raw, ByteSpan source, ByteSpan target, unsigned threads) {
  MadeContainer made = MakeUncheckedContainer(raw, source, threads);
  if (!made.carried.empty()) VerifyPatch(made.carried, source, target);
  CheckContainer(made.bytes, made.Carries(raw), source);
  return made;
}

MadeContainer MakeUncheckedContainer(ByteSpan raw, ByteSpan source, unsigned threads) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  MadeContainer made;
  made.bytes = container::EncodeContainer(raw, source, threads, {}, nullptr, &made.carried);
  return made;
}

void CheckContainer(ByteSpan container, ByteSpan raw, ByteSpan source) {
  SpanRanges container_input(container);
  SpanRanges source_input(source);
  container::ContainerDecoder decoder(container_input, &source_input);
  std::vector<std::uint8_t> piece(1 << 20);
  std::uint64_t at = 0;
  for (std::size_t count; (count = decoder.Read(piece)) != 0; at += count) {
    if (!FitsWithin(at, count, raw.size()) ||
        !std::equal(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(count),
                    raw.begin() + static_cast<std::ptrdiff_t>(at))) {
      throw Exception("The container made does not decode to its patch");
    }
  }
  if (at != raw.size()) throw Exception("The container made does not decode to its patch");
}

}  // namespace varnock
