// Guards against an encoder that picks a field too narrow for its value (or
// wider than needed) at the format's width boundaries, fails to split a run
// the format cannot hold, or tells the parse a cost other than what it writes.
// POSIX only: it reserves address space with mmap.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "make/encode/PatchEncoder.h"
#include "support/MakerHarness.h"

namespace varnock {
namespace {

using testing::ApplyInMemory;
using testing::Bytes;
using testing::MemorySink;

constexpr std::uint64_t kFrame = 12 + 5 + 1;
constexpr std::uint64_t k2To31 = std::uint64_t{1} << 31;

// A run as the decoder hands it to the target writer.
struct RecordedRun {
  const std::uint8_t* bytes;
  std::uint64_t length;
  bool operator==(const RecordedRun&) const = default;
};

// Records runs without reading them, so they may lie in inaccessible memory.
class RunRecorder : public TStream {
 public:
  std::vector<RecordedRun> runs;

 protected:
  std::int32_t RawWrite(const void* data, std::int32_t count) override {
    runs.push_back({static_cast<const std::uint8_t*>(data), static_cast<std::uint64_t>(count)});
    return count;
  }
};

// Address space nothing may read, unmapped again at the end.
class Reserved {
 public:
  explicit Reserved(std::uint64_t size) : size_(size) {
    void* base = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    base_ = base == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(base);
  }
  ~Reserved() {
    if (base_ != nullptr) munmap(base_, size_);
  }
  std::uint8_t* Base() const { return base_; }
  // Makes [at, at + length) readable and writable, whole pages around it.
  void Open(std::uint64_t at, std::uint64_t length) {
    const std::uint64_t page = 4096;
    const std::uint64_t first = at / page * page;
    ASSERT_EQ(mprotect(base_ + first, (at + length + page - 1) / page * page - first, PROT_READ | PROT_WRITE),
              0);
  }

 private:
  std::uint8_t* base_;
  std::uint64_t size_;
};

// A patch for an empty source that writes `instructions`.
Bytes Encoded(const std::function<void(PatchEncoder&)>& instructions, std::uint32_t target_crc = 0) {
  MemorySink sink;
  PatchEncoder encoder(sink, Crc32(ByteSpan{}), target_crc);
  instructions(encoder);
  const std::uint64_t written = encoder.Finish();
  EXPECT_EQ(written, sink.bytes.size());
  return std::move(sink.bytes);
}

std::vector<RecordedRun> DecodedRuns(ByteSpan patch, ByteSpan source) {
  RunRecorder target;
  RunInstructionStream(patch, source,
                       ValidatePatch(
                           patch, [] { return 0u; }, "encoded.patch"),
                       target);
  return target.runs;
}

TEST(PatchEncoder, CopiesTakeTheNarrowestFieldsThatHoldThem) {
  Reserved source(std::uint64_t{1} << 32);
  if (source.Base() == nullptr) GTEST_SKIP() << "no 4 GiB of address space";
  const ByteSpan source_span(source.Base(), std::uint64_t{1} << 32);
  struct Case {
    std::uint64_t offset;
    std::uint64_t length;
    std::uint64_t size;  // of the instruction, from the format's tables
  } cases[] = {
      {0, 1, 4},          {65535, 255, 4},     {65536, 255, 6},         {65535, 256, 5},
      {0, 65535, 5},      {0, 65536, 7},       {70000, 65535, 7},       {4294967000, 200, 6},
      {0, k2To31 - 1, 7}, {65535, 0x12345, 7}, {k2To31, k2To31 - 1, 9},
  };
  for (const Case& c : cases) {
    const Bytes patch = Encoded([&](PatchEncoder& encoder) { encoder.Copy(c.offset, c.length); });
    EXPECT_EQ(patch.size(), kFrame + c.size) << c.offset << " " << c.length;
    EXPECT_EQ(CopyCost(c.offset, c.length), c.size) << c.offset << " " << c.length;
    EXPECT_EQ(DecodedRuns(patch, source_span),
              (std::vector<RecordedRun>{{source.Base() + c.offset, c.length}}))
        << c.offset << " " << c.length;
  }
}

TEST(PatchEncoder, ACopyOf2To31BytesOrMoreIsSplit) {
  Reserved source(std::uint64_t{1} << 32);
  if (source.Base() == nullptr) GTEST_SKIP() << "no 4 GiB of address space";
  const ByteSpan source_span(source.Base(), std::uint64_t{1} << 32);
  const Bytes patch = Encoded([](PatchEncoder& encoder) { encoder.Copy(5, k2To31 + 100); });
  // copy-16/32 of 2^31 - 1 bytes from 5, then copy-32/8 of the 101 left.
  EXPECT_EQ(patch.size(), kFrame + 7 + 6);
  EXPECT_EQ(CopyCost(5, k2To31 + 100), 13u);
  EXPECT_EQ(DecodedRuns(patch, source_span),
            (std::vector<RecordedRun>{{source.Base() + 5, k2To31 - 1}, {source.Base() + 4 + k2To31, 101}}));
}

TEST(PatchEncoder, LiteralRunsTakeTheFewestHeaderBytes) {
  struct Case {
    std::uint64_t length;
    std::uint64_t headers;  // bytes besides the literal bytes
  } cases[] = {{1, 1},     {246, 1},   {247, 2},   {492, 2},   {493, 3},
               {65535, 3}, {65536, 4}, {65781, 4}, {65782, 5}, {300000, 5}};
  Bytes target(300000);
  for (std::size_t i = 0; i < target.size(); ++i) target[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
  for (const Case& c : cases) {
    const ByteSpan literal = ByteSpan(target).first(c.length);
    const Bytes patch = Encoded([&](PatchEncoder& encoder) { encoder.Literal(literal); }, Crc32(literal));
    EXPECT_EQ(patch.size(), kFrame + c.length + c.headers) << c.length;
    EXPECT_EQ(LiteralCost(c.length), c.length + c.headers) << c.length;
    EXPECT_EQ(ApplyInMemory(patch, {}), Bytes(literal.begin(), literal.end())) << c.length;
  }
}

// The literal's bytes lie in inaccessible memory but for its last page: the
// encoder hands a long piece to the sink unread. The sink lays the patch out
// in reserved address space, opening only the pages it writes itself.
TEST(PatchEncoder, ALiteralOf2To31BytesOrMoreIsSplit) {
  Reserved data(k2To31 + 4096);
  Reserved patch_space(k2To31 + 8192);
  if (data.Base() == nullptr || patch_space.Base() == nullptr) GTEST_SKIP() << "no 2 GiB of address space";
  data.Open(k2To31, 4096);
  std::memset(data.Base() + k2To31, 0x5C, 4096);
  const ByteSpan literal(data.Base() + 1, k2To31 - 1 + 10);  // the last 10 readable

  class SparseSink : public PatchSink {
   public:
    SparseSink(Reserved& space, const std::uint8_t* unread_end) : space_(space), unread_end_(unread_end) {}
    std::uint64_t size = 0;
    std::vector<std::pair<std::uint64_t, const std::uint8_t*>> unread;  // where, from where
    void Write(ByteSpan piece) override {
      if (piece.data() + piece.size() <= unread_end_ && piece.size() > (1 << 20)) {
        unread.emplace_back(size, piece.data());
      } else {
        space_.Open(size, piece.size());
        std::memcpy(space_.Base() + size, piece.data(), piece.size());
      }
      size += piece.size();
    }

   private:
    Reserved& space_;
    const std::uint8_t* unread_end_;
  } sink(patch_space, data.Base() + k2To31);

  PatchEncoder encoder(sink, 0, 0);
  encoder.Literal(literal);
  const std::uint64_t written = encoder.Finish();
  EXPECT_EQ(written, sink.size);
  // literal-32 of 2^31 - 1 bytes, then a short literal of 10.
  EXPECT_EQ(sink.size, kFrame + 5 + (k2To31 - 1) + 1 + 10);
  EXPECT_EQ(LiteralCost(literal.size()), 5 + (k2To31 - 1) + 1 + 10);
  ASSERT_EQ(sink.unread.size(), 1u);
  EXPECT_EQ(sink.unread[0].second, literal.data());
  const std::vector<RecordedRun> runs = DecodedRuns(ByteSpan(patch_space.Base(), sink.size), {});
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0], (RecordedRun{patch_space.Base() + sink.unread[0].first, k2To31 - 1}));
  EXPECT_EQ(Bytes(runs[1].bytes, runs[1].bytes + runs[1].length), Bytes(10, 0x5C));
}

}  // namespace
}  // namespace varnock
