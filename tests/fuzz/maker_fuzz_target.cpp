// Fuzz target for the maker: whatever the source and the target, the patch it
// writes must pass the applicator's checks and rebuild exactly the target,
// and pass the check made as it streams, cut into pieces anywhere.
//
// Input layout (see make_maker_corpus.py, which writes the seeds):
//   byte 0      options: bit 0 compressible, bit 1 two threads, bit 2 the
//               least memory limit the maker takes (the sampled index)
//   bytes 1..4  little-endian 32-bit number; modulo the bytes left plus one,
//               how many of them are source
//   the rest    the source's bytes, then the target's
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "apply/InstructionStream.h"
#include "common/Crc32.h"
#include "common/Errors.h"
#include "make/Maker.h"
#include "make/PatchVerifier.h"

namespace varnock {
namespace {

class VectorSink : public PatchSink {
 public:
  std::vector<std::uint8_t> bytes;
  void Write(ByteSpan piece) override { bytes.insert(bytes.end(), piece.begin(), piece.end()); }
};

class MemoryTarget : public TStream {
 public:
  std::vector<std::uint8_t> bytes;

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override {
    const auto* first = static_cast<const std::uint8_t*>(data);
    bytes.insert(bytes.end(), first, first + count);
    return count;
  }
};

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "maker fuzz target: %s\n", what);
  std::abort();
}

}  // namespace
}  // namespace varnock

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace varnock;
  if (size < 5) return 0;
  MakerOptions options;
  options.compressible = (data[0] & 1) != 0;
  options.threads = (data[0] & 2) != 0 ? 2 : 1;
  std::uint32_t split;
  std::memcpy(&split, data + 1, 4);
  const std::size_t rest = size - 5;
  const std::size_t source_size = split % (rest + 1);
  // Exact-size copies, so that a read past either end is caught.
  const std::vector<std::uint8_t> source(data + 5, data + 5 + source_size);
  const std::vector<std::uint8_t> target(data + 5 + source_size, data + size);
  options.memory_limit = (data[0] & 4) != 0 ? MakerLeastMemory(source.size(), target.size()) : 0;

  VectorSink patch;
  MemoryTarget rebuilt;
  try {
    const MakerReport report = MakePatch(source, target, options, patch);
    if (report.patch_size != patch.bytes.size()) Fail("the reported size differs from the bytes written");
    const PatchHeader header = ValidatePatch(
        patch.bytes, [&] { return Crc32(source); }, "fuzzed.patch");
    RunInstructionStream(patch.bytes, source, header, rebuilt);
    if (header.target_crc != Crc32(target)) Fail("the stored target checksum is wrong");
    VectorSink passed_on;
    VerifyingSink streamed(passed_on, source, target);
    const ByteSpan whole(patch.bytes);
    // Pieces of a length the split word chooses, as the encoder's vary.
    const std::size_t piece = 1 + split % 97;
    for (std::size_t at = 0; at < whole.size(); at += piece)
      streamed.Write(whole.subspan(at, std::min(piece, whole.size() - at)));
    streamed.Finish();
    if (passed_on.bytes != patch.bytes) Fail("the streamed check passed on other bytes");
  } catch (const Exception& error) {
    std::fprintf(stderr, "%s\n", error.Message().c_str());
    Fail("making or applying the patch raised an error");
  }
  if (rebuilt.bytes != target) Fail("the patch does not rebuild the target");
  return 0;
}
