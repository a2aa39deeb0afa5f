// Guards against a carried patch (a container, an .xz or a .zst file) that
// makes the ranged calls read more at once, or read and decode more before
// refusing it, than varnock.h promises.
#include <gtest/gtest.h>
#include <lzma.h>
#include <zstd.h>

#include "api/ApiSupport.h"

namespace varnock {
namespace {

using testing::Bytes;

// A patch handed over by ranges that remembers what it was asked for.
struct WatchedPatch {
  const Bytes* bytes;
  std::size_t largest_read = 0;
  std::uint64_t bytes_read = 0;

  static std::int64_t Read(void* self, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
    auto& patch = *static_cast<WatchedPatch*>(self);
    patch.largest_read = std::max(patch.largest_read, size);
    patch.bytes_read += size;
    std::copy_n(patch.bytes->begin() + static_cast<std::ptrdiff_t>(offset), size, buffer);
    return static_cast<std::int64_t>(size);
  }
};

struct Watched {
  std::int32_t code;
  std::string message;
  WatchedPatch patch;
};

std::int64_t ReadBytes(void* self, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  const auto& bytes = *static_cast<const Bytes*>(self);
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), size, buffer);
  return static_cast<std::int64_t>(size);
}

std::int32_t Discard(void*, const std::uint8_t*, std::size_t) { return 0; }

// The patch applied by ranges to `source`, or inspected by ranges with
// `scope` (VARNOCK_INFO_*) when `scope` is not negative.
Watched Watch(varnock_context* context, const Bytes& source, const Bytes& patch, std::int32_t scope) {
  Watched watched{0, {}, {&patch}};
  if (scope < 0) {
    watched.code = varnock_apply_ranges(context, ReadBytes, const_cast<Bytes*>(&source), source.size(),
                                        WatchedPatch::Read, &watched.patch, patch.size(), Discard, nullptr);
  } else {
    varnock_patch_info info{};
    watched.code =
        varnock_inspect_patch_ranges(context, WatchedPatch::Read, &watched.patch, patch.size(), scope, &info);
  }
  watched.message = varnock_error_message(context);
  return watched;
}

constexpr std::int32_t kApply = -1;
constexpr std::int32_t kEveryRangedCall[] = {kApply, VARNOCK_INFO_HEADER, VARNOCK_INFO_SCAN};

void Append(Bytes& to, std::initializer_list<std::uint8_t> bytes) { to.insert(to.end(), bytes); }

void AppendLittleEndian(Bytes& to, std::uint64_t value, int bytes) {
  for (int k = 0; k < bytes; ++k) to.push_back(static_cast<std::uint8_t>(value >> (8 * k)));
}

// One zstd frame of `head` then `zeros` zero bytes in blocks of 128 KiB each
// told by 4 bytes, its content size told or not.
Bytes ZstdZeros(const Bytes& head, std::uint64_t zeros, bool told) {
  constexpr std::uint32_t kBlock = 128 << 10;
  Bytes frame{0x28, 0xB5, 0x2F, 0xFD};
  // An 8-byte content size or none, and a window of 128 KiB.
  Append(frame, {static_cast<std::uint8_t>(told ? 0xC0 : 0x00), 0x38});
  if (told) AppendLittleEndian(frame, head.size() + zeros, 8);
  AppendLittleEndian(frame, std::uint64_t{head.size()} << 3 | (zeros == 0 ? 1 : 0), 3);  // raw
  frame.insert(frame.end(), head.begin(), head.end());
  for (std::uint64_t left = zeros; left > 0;) {
    const std::uint64_t run = std::min<std::uint64_t>(left, kBlock);
    left -= run;
    AppendLittleEndian(frame, run << 3 | 1 << 1 | (left == 0 ? 1 : 0), 3);  // run-length
    frame.push_back(0);
  }
  return frame;
}

// An .xz file (no checks) of `count` blocks that each hold `lzma2`, a raw
// LZMA2 stream that decodes to `decoded` bytes.
Bytes XzOfBlocks(const Bytes& lzma2, std::uint64_t decoded, std::uint64_t count) {
  lzma_options_lzma options{};
  lzma_lzma_preset(&options, 0);
  lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_block block{};
  block.check = LZMA_CHECK_NONE;
  block.filters = filters;
  block.compressed_size = lzma2.size();
  block.uncompressed_size = decoded;
  EXPECT_EQ(lzma_block_header_size(&block), LZMA_OK);
  Bytes one(block.header_size);
  EXPECT_EQ(lzma_block_header_encode(&block, one.data()), LZMA_OK);
  one.insert(one.end(), lzma2.begin(), lzma2.end());
  one.resize((one.size() + 3) / 4 * 4);
  lzma_stream_flags flags{};
  flags.check = LZMA_CHECK_NONE;
  Bytes file(LZMA_STREAM_HEADER_SIZE);
  EXPECT_EQ(lzma_stream_header_encode(&flags, file.data()), LZMA_OK);
  lzma_index* index = lzma_index_init(nullptr);
  for (std::uint64_t k = 0; k < count; ++k) {
    file.insert(file.end(), one.begin(), one.end());
    EXPECT_EQ(lzma_index_append(index, nullptr, lzma_block_unpadded_size(&block), decoded), LZMA_OK);
  }
  std::size_t at = file.size();
  file.resize(at + lzma_index_size(index));
  EXPECT_EQ(lzma_index_buffer_encode(index, file.data(), &at, file.size()), LZMA_OK);
  flags.backward_size = lzma_index_size(index);
  lzma_index_end(index, nullptr);
  file.resize(file.size() + LZMA_STREAM_HEADER_SIZE);
  EXPECT_EQ(lzma_stream_footer_encode(&flags, file.data() + file.size() - LZMA_STREAM_HEADER_SIZE), LZMA_OK);
  return file;
}

// `bytes` as a raw LZMA2 stream, dictionary reset first.
Bytes Lzma2(const Bytes& bytes) {
  lzma_options_lzma options{};
  lzma_lzma_preset(&options, 0);
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out(bytes.size() + bytes.size() / 8 + 64);
  std::size_t written = 0;
  EXPECT_EQ(
      lzma_raw_buffer_encode(filters, nullptr, bytes.data(), bytes.size(), out.data(), &written, out.size()),
      LZMA_OK);
  out.resize(written);
  return out;
}

// A stream of several MiB that no codec shrinks is read whole at once unless
// the read is cut in pieces.
TEST(CarriedPatchBounds, NoReadAsksForMoreThan1MiB) {
  auto context = testing::NewContext();
  const Bytes source = testing::Pattern(100000, 1);
  Bytes target = testing::Pattern(3 << 19, 2);
  target.insert(target.end(), source.begin(), source.end());
  const Bytes raw = testing::MakeMemory(context.get(), source, target, false);
  for (const Bytes& patch : {testing::MakeMemory(context.get(), source, target, true),
                             testing::XzOf(raw, 0, LZMA_CHECK_CRC32), testing::ZstdOf(raw, 1)}) {
    for (const std::int32_t call : kEveryRangedCall) {
      const Watched watched = Watch(context.get(), source, patch, call);
      EXPECT_EQ(watched.code, VARNOCK_OK) << watched.message;
      EXPECT_LE(watched.patch.largest_read, std::size_t{1} << 20) << call;
    }
  }
}

// What follows the raw patch's last byte in an .xz file, its block's check,
// index and footer, is checked as xz -t checks it, by every call that reads
// the patch whole: also where the file is read in steps (64 KiB) and the
// check begins a step of its own, after the decoded bytes are all out.
TEST(CarriedPatchBounds, DamageAfterTheRawPatchIsRefused) {
  auto context = testing::NewContext();
  constexpr std::size_t kStep = 64 << 10;
  // The file's last step holds the block's check (4 bytes), a one-record
  // index and the footer (12 each); an .xz file's length is a multiple of 4.
  constexpr std::size_t kLastStep = 4 + 12 + 12;
  const Bytes source = testing::Pattern(5000, 3);
  std::size_t length = 3 * kStep;
  Bytes patch;
  // Random bytes are stored, a byte of the target for a byte of the file.
  for (int tries = 0; tries < 4 && patch.size() % kStep != kLastStep; ++tries) {
    length += (kStep + kLastStep - patch.size() % kStep) % kStep;
    patch = testing::XzOf(testing::MakeMemory(context.get(), source, testing::Pattern(length, 4), false), 0,
                          LZMA_CHECK_CRC32);
  }
  ASSERT_EQ(patch.size() % kStep, kLastStep);
  for (std::size_t at = patch.size() - kLastStep - 4; at < patch.size(); ++at) {
    Bytes broken = patch;
    broken[at] ^= 0x10;
    for (const std::int32_t call : {kApply, VARNOCK_INFO_SCAN}) {
      EXPECT_NE(Watch(context.get(), source, broken, call).code, VARNOCK_OK) << at << " " << call;
    }
    testing::TempDir directory;
    EXPECT_NE(testing::ApplyFiles(context.get(), directory, source, broken).code, VARNOCK_OK) << at;
    EXPECT_NE(testing::ApplyMemory(context.get(), source, broken).code, VARNOCK_OK) << at;
  }
}

// A raw patch of 4 GiB or more is refused where the file tells its length,
// before anything is decoded, and else once 4 GiB are decoded; the header
// alone is read from the file's first bytes.
TEST(CarriedPatchBounds, RawPatchesOf4GiBAreRefusedAsSoonAsTheyAreSeen) {
  auto context = testing::NewContext();
  const Bytes source = testing::Pattern(3000, 5);
  const Bytes raw = testing::MakeMemory(context.get(), source, testing::Pattern(2000, 6), false);
  // The header and signature: a stop instruction right after them is a fault
  // only once more bytes follow.
  const Bytes head(raw.begin(), raw.begin() + (raw[0] | raw[1] << 8) + 5);
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
  // A stream of 2 MiB that decodes to 1 MiB of zeros, repeated.
  Bytes zeros = Lzma2(Bytes(1 << 20));
  zeros.pop_back();  // the end marker
  Bytes zeros_4608 = zeros;
  for (int k = 1; k < 4608; ++k) zeros_4608.insert(zeros_4608.end(), zeros.begin(), zeros.end());
  zeros_4608.push_back(0);
  const Bytes unsized_zeros = ZstdZeros(head, 32 * kGiB, false);
  const Bytes unsized_patch = ZstdZeros(raw, 0, false);
  struct Case {
    const char* name;
    const Bytes& patch;
    std::int32_t call;
    std::int32_t code;
    std::uint64_t most_read;
  };
  const Bytes told_zstd = ZstdZeros(head, 5 * kGiB, true);
  const Bytes told_xz = XzOfBlocks(zeros_4608, std::uint64_t{4608} << 20, 1);
  const Case cases[] = {
      {"zstd told", told_zstd, kApply, VARNOCK_ERROR_TOO_LARGE, 64},
      {"zstd told", told_zstd, VARNOCK_INFO_HEADER, VARNOCK_ERROR_TOO_LARGE, 64},
      {"xz told", told_xz, kApply, VARNOCK_ERROR_TOO_LARGE, 3 * 65536},
      {"xz told", told_xz, VARNOCK_INFO_SCAN, VARNOCK_ERROR_TOO_LARGE, 3 * 65536},
      // 4 GiB of 32 lie in the file's first eighth, read in steps of 64 KiB.
      {"zstd unsized", unsized_zeros, kApply, VARNOCK_ERROR_TOO_LARGE, unsized_zeros.size() / 8 + 2 * 65536},
      {"zstd unsized", unsized_zeros, VARNOCK_INFO_SCAN, VARNOCK_ERROR_TOO_LARGE,
       unsized_zeros.size() / 8 + 2 * 65536},
      {"zstd unsized", unsized_zeros, VARNOCK_INFO_HEADER, VARNOCK_OK, 3 * 65536},
      {"zstd unsized, valid", unsized_patch, kApply, VARNOCK_OK, 2 * unsized_patch.size() + 64},
  };
  for (const Case& test : cases) {
    const Watched watched = Watch(context.get(), source, test.patch, test.call);
    EXPECT_EQ(watched.code, test.code) << test.name << " " << test.call << ": " << watched.message;
    EXPECT_LE(watched.patch.bytes_read, test.most_read) << test.name << " " << test.call;
  }
}

}  // namespace
}  // namespace varnock
