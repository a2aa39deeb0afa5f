// Fuzz target for the container's decoder: whatever the bytes of a source and
// a container, applying must end in the container's own errors or the raw
// patch's, or rebuild a target, never read outside either span, and never
// raise anything but the library's errors.
//
// Input layout (see make_container_corpus.sh, which writes the seeds):
//   byte 0      flags: bit 0, the container's header is made to name this
//               source (its length and CRC-32) and its header CRC-32 is
//               taken anew, so that mutations reach the blocks
//   bytes 1..4  little-endian 32-bit number; modulo the bytes left plus one,
//               how many of them are source
//   the rest    the source's bytes, then the container's
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "apply/Apply.h"
#include "common/Crc32.h"
#include "common/Errors.h"
#include "format/ContainerFormat.h"

namespace varnock {
namespace {

// Keeps nothing but the count, checked against nothing: the target's CRC-32
// is the raw patch's own test.
class DiscardingTarget final : public MemoryTarget {
 public:
  std::uint32_t Checksum(Progress&) override { return crc_; }

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override {
    crc_ = Crc32({static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(count)}, crc_);
    return count;
  }

 private:
  std::uint32_t crc_ = 0;
};

void PutLittleEndian(std::uint8_t* at, std::uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Makes the header name `source` and carry a CRC-32 of its own that holds.
void FixHeader(std::vector<std::uint8_t>& box, ByteSpan source) {
  if (box.size() < container::kFixedHeaderSize) return;
  PutLittleEndian(box.data() + 28, Crc32(source), 4);
  PutLittleEndian(box.data() + 32, source.size(), 8);
  const std::uint64_t head = varnock::ReadLittleEndian(box.data() + 12, 4);
  const std::uint64_t end = container::kFixedHeaderSize + head;
  if (head > container::kLongestHead || end + 4 > box.size()) return;
  PutLittleEndian(box.data() + end, Crc32(ByteSpan(box.data(), static_cast<std::size_t>(end))), 4);
}

}  // namespace
}  // namespace varnock

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace varnock;
  if (size < 5) return 0;
  const std::uint64_t field = varnock::ReadLittleEndian(data + 1, 4);
  const std::size_t rest = size - 5;
  const auto source_size = static_cast<std::size_t>(field % (rest + 1));
  // Exact-size copies, so that a read past either is caught by the sanitizer.
  const std::vector<std::uint8_t> source(data + 5, data + 5 + source_size);
  std::vector<std::uint8_t> box(data + 5 + source_size, data + size);
  if ((data[0] & 1) != 0) FixHeader(box, source);
  SpanRanges source_input(source);
  SpanRanges box_input(box);
  DiscardingTarget target;
  Progress progress(nullptr);
  try {
    ApplyPatchRanges(source_input, box_input, "fuzzed", target, std::size_t{1} << 20, progress);
  } catch (const Exception&) {
    // Any of the library's errors is a fine end for damaged input.
  } catch (const std::bad_alloc&) {
    // The container's bounds keep every allocation under 64 MiB; more is a fault.
    std::abort();
  }
  return 0;
}
