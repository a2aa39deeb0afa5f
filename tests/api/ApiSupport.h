// Drives the public C API from tests: a context that frees itself, targets
// collected in memory, and one call that applies the same inputs every way the
// API offers.
#pragma once

#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/PatchBuilder.h"
#include "support/TempDir.h"
#include "varnock.h"

namespace varnock::testing {

using Context = std::unique_ptr<varnock_context, decltype(&varnock_context_free)>;

inline Context NewContext() { return {varnock_context_new(), &varnock_context_free}; }

// A write callback that appends to a Bytes.
inline std::int32_t AppendTo(void* user_data, const std::uint8_t* data, std::size_t size) {
  auto* out = static_cast<Bytes*>(user_data);
  out->insert(out->end(), data, data + size);
  return 0;
}

// What one way of applying left behind.
struct Outcome {
  std::int32_t code;
  std::string message;
  Bytes target;
};

inline Outcome ApplyMemory(varnock_context* context, const Bytes& source, const Bytes& patch) {
  Outcome outcome{0, {}, {}};
  outcome.code = varnock_apply_memory(context, source.data(), source.size(), patch.data(), patch.size(),
                                      AppendTo, &outcome.target);
  outcome.message = varnock_error_message(context);
  return outcome;
}

inline Outcome ApplyToBuffer(varnock_context* context, const Bytes& source, const Bytes& patch,
                             std::size_t capacity) {
  Outcome outcome{0, {}, Bytes(capacity)};
  std::size_t size = 0;
  outcome.code = varnock_apply_to_buffer(context, source.data(), source.size(), patch.data(), patch.size(),
                                         outcome.target.data(), capacity, &size);
  outcome.target.resize(size);
  outcome.message = varnock_error_message(context);
  return outcome;
}

// An input in memory handed over by ranges, as a host's read callback would:
// at most `longest` bytes a call, so that short counts are met too.
struct RangedBytes {
  const Bytes* bytes;
  std::size_t longest = static_cast<std::size_t>(-1);

  static std::int64_t Read(void* self, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
    const auto& input = *static_cast<RangedBytes*>(self);
    const std::size_t count = std::min(size, input.longest);
    std::copy_n(input.bytes->begin() + static_cast<std::ptrdiff_t>(offset), count, buffer);
    return static_cast<std::int64_t>(count);
  }
};

inline Outcome ApplyRanges(varnock_context* context, const Bytes& source, const Bytes& patch,
                           std::size_t longest_read = static_cast<std::size_t>(-1)) {
  Outcome outcome{0, {}, {}};
  RangedBytes source_input{&source, longest_read};
  RangedBytes patch_input{&patch, longest_read};
  outcome.code =
      varnock_apply_ranges(context, RangedBytes::Read, &source_input, source.size(), RangedBytes::Read,
                           &patch_input, patch.size(), AppendTo, &outcome.target);
  outcome.message = varnock_error_message(context);
  return outcome;
}

// Writes source and patch into `directory` and applies them to a target there.
inline Outcome ApplyFiles(varnock_context* context, const TempDir& directory, const Bytes& source,
                          const Bytes& patch, const std::string& patch_name = "patch") {
  const std::string source_file = directory.Write("source", source);
  const std::string patch_file = directory.Write(patch_name, patch);
  const std::string target_file = directory.File("target");
  Outcome outcome{0, {}, {}};
  outcome.code = varnock_apply_files(context, source_file.c_str(), target_file.c_str(), patch_file.c_str());
  outcome.message = varnock_error_message(context);
  outcome.target = TempDir::Read(target_file);
  return outcome;
}

// Deterministic bytes that differ from place to place.
inline Bytes Pattern(std::size_t size, std::uint32_t seed) {
  Bytes bytes(size);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

// The patch varnock_make_memory makes, raw or as a container.
inline Bytes MakeMemory(varnock_context* context, const Bytes& source, const Bytes& target, bool container) {
  varnock_make_options options{};
  options.container = container ? 1 : 0;
  Bytes patch;
  EXPECT_EQ(varnock_make_memory(context, source.data(), source.size(), target.data(), target.size(), &options,
                                AppendTo, &patch, nullptr),
            VARNOCK_OK)
      << varnock_error_message(context);
  return patch;
}

// A raw patch compressed whole, as the xz and zstd programs would.
inline Bytes XzOf(const Bytes& raw, std::uint32_t preset = 6, lzma_check check = LZMA_CHECK_CRC64) {
  Bytes out(lzma_stream_buffer_bound(raw.size()));
  std::size_t written = 0;
  EXPECT_EQ(lzma_easy_buffer_encode(preset, check, nullptr, raw.data(), raw.size(), out.data(), &written,
                                    out.size()),
            LZMA_OK);
  out.resize(written);
  return out;
}

inline Bytes ZstdOf(const Bytes& raw, int level = 19) {
  Bytes out(ZSTD_compressBound(raw.size()));
  out.resize(ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), level));
  return out;
}

}  // namespace varnock::testing
