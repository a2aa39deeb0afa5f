// Guards against a header check that reads outside a short patch, takes the
// source's checksum before the header holds, or tests in the wrong order.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "format/PatchFormat.h"
#include "support/ErrorMatch.h"
#include "support/PatchBuilder.h"

namespace varnock {
namespace {

using testing::Bytes;
using testing::RaisesError;

constexpr char kNoHeader[] = "Patch file contains no header.";
constexpr char kCorrupted[] = "Patch file header corrupted.";
constexpr std::uint32_t kSourceCrc = 0x11223344;
constexpr std::uint32_t kTargetCrc = 0xA1B2C3D4;

// The source checksum as ValidatePatch asks for it, counting the asks.
struct SourceChecksum {
  std::uint32_t value = kSourceCrc;
  int calls = 0;
  std::function<std::uint32_t()> Callback() {
    return [this] {
      ++calls;
      return value;
    };
  }
};

// A header of `header_size` bytes claiming a block of `block_size`, its
// block and spare bytes filled with `fill`; then magic, version and a stop.
Bytes PatchWithHeader(std::uint32_t header_size, std::uint32_t block_size, std::uint8_t fill = 0xA5) {
  Bytes patch;
  testing::AppendLittleEndian(patch, header_size, 2);
  testing::AppendLittleEndian(patch, block_size, 2);
  if (header_size >= 12) {
    patch.resize(header_size - 8, fill);
    testing::AppendLittleEndian(patch, kSourceCrc, 4);
    testing::AppendLittleEndian(patch, kTargetCrc, 4);
  } else {
    patch.resize(header_size > 4 ? header_size : 4, fill);
  }
  patch.insert(patch.end(), {0xD1, 0xFF, 0xD1, 0xFF, 0x04, 0x00});
  return patch;
}

// The patch in an allocation of its own exact size, so that a read past its
// end is caught by the sanitizers.
class ExactPatch {
 public:
  explicit ExactPatch(const Bytes& bytes, std::size_t size)
      : bytes_(std::make_unique<std::uint8_t[]>(size)), size_(size) {
    std::copy_n(bytes.begin(), std::min(size, bytes.size()), bytes_.get());
  }
  explicit ExactPatch(const Bytes& bytes) : ExactPatch(bytes, bytes.size()) {}
  ByteSpan Span() const { return {bytes_.get(), size_}; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_;
};

TEST(ValidatePatch, FewerThanFourBytesHaveNoHeader) {
  const Bytes full = PatchWithHeader(12, 0);
  for (std::size_t size = 0; size < 4; ++size) {
    SCOPED_TRACE(size);
    SourceChecksum checksum;
    ExactPatch patch(full, size);
    EXPECT_TRUE(RaisesError([&] { ValidatePatch(patch.Span(), checksum.Callback(), "p"); }, kNoHeader));
    EXPECT_EQ(checksum.calls, 0);
  }
}

// The header must hold the block and the 12 bytes of sizes and checksums,
// counted without 16-bit wrap-around; the checksums sit in its last 8 bytes.
TEST(ValidatePatch, HeaderSizeAgainstBlockLength) {
  struct Case {
    std::uint32_t header_size;
    std::uint32_t block_size;
    bool accepted;
  };
  const Case cases[] = {
      {11, 0, false},          {12, 0, true},          {0, 0, false},      {16, 5, false},
      {17, 5, true},           {40, 5, true},          {0, 0xFFFF, false}, {0xFFFF, 0xFFFF, false},
      {0xFFFF, 0xFFF4, false}, {0xFFFF, 0xFFF3, true}, {0xFFFF, 0, true},  {12, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("header size " + std::to_string(c.header_size) + ", block length " +
                 std::to_string(c.block_size));
    ExactPatch patch(PatchWithHeader(c.header_size, c.block_size));
    SourceChecksum checksum;
    if (c.accepted) {
      PatchHeader header = ValidatePatch(patch.Span(), checksum.Callback(), "p");
      EXPECT_EQ(header.header_size, c.header_size);
      EXPECT_EQ(header.source_crc, kSourceCrc);
      EXPECT_EQ(header.target_crc, kTargetCrc);
      EXPECT_EQ(checksum.calls, 1);
    } else {
      EXPECT_TRUE(RaisesError([&] { ValidatePatch(patch.Span(), checksum.Callback(), "p"); }, kCorrupted));
      EXPECT_EQ(checksum.calls, 0);
    }
  }
}

// A header that claims more bytes than the patch has is refused before the
// checksums it would hold are read; one that ends right at the version byte
// is a header, and the stream's check reports it.
TEST(ValidatePatch, HeaderMustLeaveRoomForMagicAndVersion) {
  const Bytes full = PatchWithHeader(12, 0);
  for (std::size_t size = 4; size < 17; ++size) {
    SCOPED_TRACE(size);
    ExactPatch patch(full, size);
    SourceChecksum checksum;
    EXPECT_TRUE(RaisesError([&] { ValidatePatch(patch.Span(), checksum.Callback(), "p"); }, kCorrupted));
    EXPECT_EQ(checksum.calls, 0);
  }
  SourceChecksum checksum;
  ExactPatch far(PatchWithHeader(0xFFFF, 0), 40);
  EXPECT_TRUE(RaisesError([&] { ValidatePatch(far.Span(), checksum.Callback(), "p"); }, kCorrupted));
  EXPECT_EQ(checksum.calls, 0);

  ExactPatch ends_at_version(full, 17);
  EXPECT_EQ(ValidatePatch(ends_at_version.Span(), checksum.Callback(), "p").header_size, 12u);
  EXPECT_EQ(checksum.calls, 1);
}

// Nothing in the block, nor in spare bytes after it, changes the outcome:
// not even bytes that look like a magic and a version of their own.
TEST(ValidatePatch, HeaderBlockIsNeverRead) {
  std::vector<Bytes> blocks = {Bytes{}, Bytes(7, 0x00), Bytes(300, 0xFF),
                               Bytes{0xD1, 0xFF, 0xD1, 0xFF, 0x05, 0x00}};
  for (const Bytes& block : blocks) {
    for (std::uint32_t spare : {0u, 1u, 9u}) {
      SCOPED_TRACE("block of " + std::to_string(block.size()) + ", spare " + std::to_string(spare));
      Bytes bytes = PatchWithHeader(static_cast<std::uint32_t>(12 + block.size() + spare),
                                    static_cast<std::uint32_t>(block.size()), 0xD1);
      std::copy(block.begin(), block.end(), bytes.begin() + 4);
      ExactPatch patch(bytes);
      SourceChecksum checksum;
      PatchHeader header = ValidatePatch(patch.Span(), checksum.Callback(), "p");
      EXPECT_EQ(header.header_size, 12 + block.size() + spare);
      EXPECT_EQ(header.source_crc, kSourceCrc);
      EXPECT_EQ(header.target_crc, kTargetCrc);
    }
  }
}

// The source checksum comes first, then the magic, then the version byte;
// each later test speaks only when the earlier ones pass.
TEST(ValidatePatch, ChecksInOrderChecksumMagicVersion) {
  struct Case {
    bool checksum_matches;
    bool magic_intact;
    std::uint8_t version;
    std::string message;  // empty: accepted
  };
  const std::string not_a_patch = "dir/My Patch.bin is not a patch";
  const std::string bad_checksum = "Source file checksum don't match";
  const std::string bad_version = "Unsupported version of patch format ";
  const Case cases[] = {
      {false, false, 3, bad_checksum}, {false, true, 4, bad_checksum},  {true, false, 3, not_a_patch},
      {true, false, 4, not_a_patch},   {true, true, 3, bad_version},    {true, true, 5, bad_version},
      {true, true, 0, bad_version},    {true, true, 0xFF, bad_version}, {true, true, 4, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    Bytes bytes = PatchWithHeader(12, 0);
    if (!c.magic_intact) bytes[14] = 0xFF;
    bytes[16] = c.version;
    ExactPatch patch(bytes);
    SourceChecksum checksum;
    if (!c.checksum_matches) checksum.value = kSourceCrc ^ 0x00010000;
    auto validate = [&] { ValidatePatch(patch.Span(), checksum.Callback(), "dir/My Patch.bin"); };
    if (c.message.empty()) {
      EXPECT_NO_THROW(validate());
    } else {
      EXPECT_TRUE(RaisesError(validate, c.message));
    }
    EXPECT_EQ(checksum.calls, 1);
  }
}

TEST(ValidatePatch, EveryMagicByteCounts) {
  for (std::size_t at = 12; at < 16; ++at) {
    for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
      Bytes bytes = PatchWithHeader(12, 0);
      bytes[at] ^= flip;
      ExactPatch patch(bytes);
      SourceChecksum checksum;
      EXPECT_TRUE(RaisesError([&] { ValidatePatch(patch.Span(), checksum.Callback(), "p.bin"); },
                              "p.bin is not a patch"))
          << "byte " << at;
    }
  }
}

// The stored checksums are little-endian; the byte-swapped value must not pass.
TEST(ValidatePatch, SourceChecksumIsLittleEndian) {
  ExactPatch patch(PatchWithHeader(12, 0));
  SourceChecksum swapped;
  swapped.value = 0x44332211;
  EXPECT_TRUE(RaisesError([&] { ValidatePatch(patch.Span(), swapped.Callback(), "p"); },
                          "Source file checksum don't match"));
}

}  // namespace
}  // namespace varnock
