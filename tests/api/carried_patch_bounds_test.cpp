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

Bytes Make(varnock_context* context, const Bytes& source, const Bytes& target, bool container) {
  varnock_make_options options{};
  options.container = container ? 1 : 0;
  Bytes patch;
  EXPECT_EQ(varnock_make_memory(context, source.data(), source.size(), target.data(), target.size(), &options,
                                testing::AppendTo, &patch, nullptr),
            VARNOCK_OK)
      << varnock_error_message(context);
  return patch;
}

Bytes Xz(const Bytes& raw) {
  Bytes out(lzma_stream_buffer_bound(raw.size()));
  std::size_t written = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(0, LZMA_CHECK_CRC32, nullptr, raw.data(), raw.size(), out.data(),
                                    &written, out.size()),
            LZMA_OK);
  out.resize(written);
  return out;
}

Bytes Zstd(const Bytes& raw) {
  Bytes out(ZSTD_compressBound(raw.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), 1));
  return out;
}

// A stream of several MiB that no codec shrinks is read whole at once unless
// the read is cut in pieces.
TEST(CarriedPatchBounds, NoReadAsksForMoreThan1MiB) {
  auto context = testing::NewContext();
  const Bytes source = testing::Pattern(100000, 1);
  Bytes target = testing::Pattern(3 << 19, 2);
  target.insert(target.end(), source.begin(), source.end());
  const Bytes raw = Make(context.get(), source, target, false);
  for (const Bytes& patch : {Make(context.get(), source, target, true), Xz(raw), Zstd(raw)}) {
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
    patch = Xz(Make(context.get(), source, testing::Pattern(length, 4), false));
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

}  // namespace
}  // namespace varnock
