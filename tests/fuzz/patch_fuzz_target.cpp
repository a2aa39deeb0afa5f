// Fuzz target: whatever the bytes of a source and a patch, decoding and running
// the patch in memory must give exactly the runs, or exactly the error, that a
// plain reference decoder written straight from the format's tables predicts,
// without reading a byte outside either span.
//
// Input layout (see make_corpus.py, which writes the seeds):
//   byte 0      flags: bit 0, the source's CRC-32 is taken to match the patch
//               (so mutated patches get past the checksum test); bit 1, the
//               source is a large span of inaccessible memory whose length is
//               the next field (the checksum then always matches)
//   bytes 1..4  little-endian 32-bit number: the large source's length, or,
//               modulo the bytes left plus one, how many of them are source
//   the rest    the source's bytes (unless large), then the patch's
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apply/InstructionStream.h"
#include "common/Crc32.h"
#include "common/Errors.h"

#if defined(__unix__)
#include <sys/mman.h>
#endif

namespace varnock {
namespace {

constexpr char kPatchName[] = "fuzzed.patch";

// A run as an address and a length; the target is the runs in order.
struct Run {
  const std::uint8_t* bytes;
  std::uint64_t length;
  bool operator==(const Run&) const = default;
};

struct Outcome {
  std::vector<Run> runs;  // runs of non-zero length, as the writer sees them
  bool failed = false;
  std::string message;
  bool range_error = false;
  int checksum_requests = 0;
};

// ---- The reference: one test per line of the format's tables, in order. ----

std::uint32_t BitwiseCrc32(ByteSpan bytes) {
  std::uint32_t value = 0xFFFFFFFF;
  for (std::uint8_t byte : bytes) {
    value ^= byte;
    for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ (0xEDB88320 & (0u - (value & 1)));
  }
  return ~value;
}

std::uint64_t BigEndian(ByteSpan patch, std::uint64_t at, unsigned width) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) value = value * 256 + patch[at + i];
  return value;
}

std::uint64_t LittleEndian(ByteSpan patch, std::uint64_t at, unsigned width) {
  std::uint64_t value = 0;
  for (unsigned i = width; i-- > 0;) value = value * 256 + patch[at + i];
  return value;
}

struct Fail {
  std::string message;
  bool range_error = false;
};

Outcome Expect(ByteSpan patch, ByteSpan source, bool checksum_agrees) {
  Outcome out;
  const std::uint64_t F = patch.size();
  const std::uint64_t S = source.size();
  auto fail = [&](std::string message, bool range_error = false) {
    out.failed = true;
    out.message = std::move(message);
    out.range_error = range_error;
    return out;
  };

  if (F < 4) return fail("Patch file contains no header.");
  const std::uint64_t P = LittleEndian(patch, 0, 2);
  const std::uint64_t T = LittleEndian(patch, 2, 2);
  if (P < T + 12) return fail("Patch file header corrupted.");
  if (P + 5 > F) return fail("Patch file header corrupted.");
  const std::uint64_t stored_source_crc = LittleEndian(patch, P - 8, 4);
  out.checksum_requests = 1;
  if (!checksum_agrees && BitwiseCrc32(source) != stored_source_crc)
    return fail("Source file checksum don't match");
  if (patch[P] != 0xD1 || patch[P + 1] != 0xFF || patch[P + 2] != 0xD1 || patch[P + 3] != 0xFF) {
    return fail(std::string(kPatchName) + " is not a patch");
  }
  if (patch[P + 4] != 4) return fail("Unsupported version of patch format ");

  const std::string unexpected_end = "Unexpected end of patch file";
  std::uint64_t p = P + 5;
  while (p < F - 1) {
    const unsigned b = patch[p];
    if (b == 0x00) return fail("Unexpected stop instruction before end of patch file");
    if (b == 0xFF) return fail("64-bit length of file is not supported in this version");
    std::uint64_t L;
    if (b <= 0xF6) {
      L = b;
      if (!(p + L + 2 <= F)) return fail(unexpected_end);
      if (L > 0) out.runs.push_back({patch.data() + p + 1, L});
      p += L + 1;
    } else if (b == 0xF7) {
      if (!(p + 4 <= F)) return fail(unexpected_end);
      L = BigEndian(patch, p + 1, 2);
      if (!(p + L + 4 <= F)) return fail(unexpected_end);
      if (L > 0) out.runs.push_back({patch.data() + p + 3, L});
      p += L + 3;
    } else if (b == 0xF8) {
      if (!(p + 6 <= F)) return fail(unexpected_end);
      L = BigEndian(patch, p + 1, 4);
      if (!(p + L + 6 <= F)) return fail(unexpected_end);
      if (L >= 0x80000000) return fail("Range check error", true);
      if (L > 0) out.runs.push_back({patch.data() + p + 5, L});
      p += L + 5;
    } else {
      // 0xF9..0xFE: copy-16/8, 16/16, 16/32, 32/8, 32/16, 32/32.
      const unsigned offset_width = b <= 0xFB ? 2 : 4;
      const unsigned length_width = (b == 0xF9 || b == 0xFC) ? 1 : (b == 0xFA || b == 0xFD) ? 2 : 4;
      const std::uint64_t size = 1 + offset_width + length_width;
      if (!(p + size + 1 <= F)) return fail(unexpected_end);
      const std::uint64_t O = BigEndian(patch, p + 1, offset_width);
      L = BigEndian(patch, p + 1 + offset_width, length_width);
      if (!(O + L <= S)) return fail("Seek beyond source file end. Instruction at " + std::to_string(p));
      if (length_width == 4 && L >= 0x80000000) return fail("Range check error", true);
      if (L > 0) out.runs.push_back({source.data() + O, L});
      p += size;
    }
  }
  if (p != F - 1) return fail("Internal error checking the stop instruction");
  if (patch[F - 1] != 0x00) return fail(unexpected_end);
  return out;
}

// ---- The code under test. ----

// Records where each run comes from, never reading it: the large source is
// inaccessible memory, and the addresses alone prove which bytes a run holds.
class RunRecorder : public TStream {
 public:
  std::vector<Run> runs;

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override {
    runs.push_back({static_cast<const std::uint8_t*>(data), static_cast<std::uint64_t>(count)});
    return count;
  }
};

Outcome Apply(ByteSpan patch, ByteSpan source, bool checksum_agrees) {
  Outcome out;
  RunRecorder target;
  auto checksum = [&]() -> std::uint32_t {
    ++out.checksum_requests;
    if (!checksum_agrees) return Crc32(source);
    // Only a header that holds may ask: its stored value is then inside the patch.
    const std::uint64_t P = LittleEndian(patch, 0, 2);
    return static_cast<std::uint32_t>(LittleEndian(patch, P - 8, 4));
  };
  try {
    PatchHeader header = ValidatePatch(patch, checksum, kPatchName);
    RunInstructionStream(patch, source, header, target);
  } catch (const Exception& error) {
    out.failed = true;
    out.message = error.Message();
    out.range_error = dynamic_cast<const ERangeError*>(&error) != nullptr;
  }
  out.runs = std::move(target.runs);
  return out;
}

[[noreturn]] void Mismatch(const char* what, const Outcome& expected, const Outcome& actual) {
  std::fprintf(stderr,
               "mismatch in %s\n  expected: failed=%d \"%s\" range=%d runs=%zu checksums=%d\n"
               "  actual:   failed=%d \"%s\" range=%d runs=%zu checksums=%d\n",
               what, expected.failed, expected.message.c_str(), expected.range_error, expected.runs.size(),
               expected.checksum_requests, actual.failed, actual.message.c_str(), actual.range_error,
               actual.runs.size(), actual.checksum_requests);
  std::abort();
}

// 4 GiB of address space that nothing may touch; null where it cannot be had.
const std::uint8_t* LargeSourceBase() {
#if defined(__unix__)
  static void* base =
      mmap(nullptr, std::uint64_t{1} << 32, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return base == MAP_FAILED ? nullptr : static_cast<const std::uint8_t*>(base);
#else
  return nullptr;
#endif
}

}  // namespace
}  // namespace varnock

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace varnock;
  if (size < 5) return 0;
  const bool checksum_agrees = (data[0] & 1) != 0;
  const bool large_source = (data[0] & 2) != 0;
  const std::uint64_t field = LittleEndian(ByteSpan(data + 1, 4), 0, 4);
  const std::uint8_t* rest = data + 5;
  const std::size_t rest_size = size - 5;

  // Each span gets its own exact-size allocation, so that a read one byte past
  // either one is caught by the address sanitizer.
  std::vector<std::uint8_t> source_bytes;
  ByteSpan source;
  if (large_source) {
    if (LargeSourceBase() == nullptr) return 0;
    source = ByteSpan(LargeSourceBase(), field);
  } else {
    source_bytes.assign(rest, rest + field % (rest_size + 1));
    source = source_bytes;
  }
  const std::size_t source_in_input = large_source ? 0 : source_bytes.size();
  std::vector<std::uint8_t> patch_bytes(rest + source_in_input, rest + rest_size);
  const ByteSpan patch = patch_bytes;

  const Outcome expected = Expect(patch, source, checksum_agrees || large_source);
  const Outcome actual = Apply(patch, source, checksum_agrees || large_source);
  if (expected.failed != actual.failed || expected.message != actual.message ||
      expected.range_error != actual.range_error) {
    Mismatch("the outcome", expected, actual);
  }
  if (expected.checksum_requests != actual.checksum_requests)
    Mismatch("the checksum requests", expected, actual);
  if (expected.runs != actual.runs) Mismatch("the runs", expected, actual);
  return 0;
}
