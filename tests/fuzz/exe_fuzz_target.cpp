// Fuzz target for executable parsing and the reference finder: whatever the
// bytes, Parse either refuses them or yields an image whose references lie in
// the file, in order, disjoint, each re-encoding to its own bytes, and the
// same when asked for in two windows split anywhere and chunk by chunk.
// Never reads outside the input (an exact-size copy, for the sanitizer).
// Seeds: tests/unit/data/exe.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <vector>

#include "exe/Image.h"
#include "exe/ReferenceFinder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace varnock::exe;
  const std::vector<std::uint8_t> file(data, data + size);
  const auto image = Image::Parse(file);
  if (!image) return 0;
  const ReferenceFinder finder(*image, file);
  std::vector<Reference> whole;
  finder.Find(0, file.size(), whole);
  std::uint64_t previous_end = 0;
  for (const Reference& reference : whole) {
    const std::uint32_t width = FieldWidth(reference.kind);
    if (reference.location < previous_end || width > file.size() - reference.location) std::abort();
    previous_end = reference.location + width;
    const auto va = image->VaOf(reference.location);
    std::uint8_t out[8];
    if (!va || !Encode(reference.kind, file.data() + reference.location, *va, reference.target_va, out) ||
        !std::equal(out, out + width, file.data() + reference.location)) {
      std::abort();
    }
  }
  // A split point taken from the input's own bytes, so that mutations move it.
  const std::uint64_t split =
      file.empty() ? 0 : (file[file.size() / 2] * 257u + file.back()) % (file.size() + 1);
  std::vector<Reference> pieced;
  finder.Find(0, split, pieced);
  finder.Find(split, file.size(), pieced);
  if (!(pieced == whole)) std::abort();
  // Chunk by chunk, in order with what each leaves to the next and alone
  // (every other chunk), as a predictor asks: each chunk's part of the whole.
  ReferenceFinder::Carry in_order;
  for (std::uint64_t chunk = 0; chunk * kChunkBytes < file.size(); ++chunk) {
    std::vector<Reference> expected;
    std::copy_if(whole.begin(), whole.end(), std::back_inserter(expected),
                 [&](const Reference& reference) { return reference.location / kChunkBytes == chunk; });
    std::vector<Reference> found;
    finder.FindChunk(chunk, in_order, found);
    if (!(found == expected)) std::abort();
    if (chunk % 2 == 0) continue;
    ReferenceFinder::Carry none;
    found.clear();
    finder.FindChunk(chunk, none, found);
    if (!(found == expected)) std::abort();
  }
  return 0;
}
