// The C API's callbacks, bound to the JavaScript that owns the module: a
// wasm function pointer cannot name a JavaScript closure, so the calls that
// take callbacks are wrapped here, and each callback calls the hook the
// JavaScript side set on the module before the call. Besides varnock.h, only
// libdeflate's CRC-32 is used: a patch made is shown with its CRC-32, taken
// here as the pieces pass, while they are still in the module's memory (a
// target's is the one in its patch's header, which the library has checked),
// and the page takes a chosen old file's with it before applying.
#include <emscripten.h>
#include <libdeflate.h>

#include <cstdint>

#include "varnock.h"

// Sizes travel as doubles: exact up to 2^53, and JavaScript's own numbers.
EM_JS(std::int32_t, CallWriteHook, (const std::uint8_t* data, std::size_t size),
      { return Module.varnockHooks.write(data >>> 0, size >>> 0); });
// Which input a read is for: 0 the source, 1 the patch. Returns the count
// placed, or -1 (a failed read).
EM_JS(double, CallReadHook, (std::int32_t input, double offset, std::uint8_t* buffer, std::size_t size),
      { return Module.varnockHooks.read(input, offset, buffer >>> 0, size >>> 0); });
EM_JS(std::int32_t, CallProgressHook, (std::int32_t stage, double done, double total),
      { return Module.varnockHooks.progress(stage, done, total); });

namespace {

std::int32_t Write(void*, const std::uint8_t* data, std::size_t size) { return CallWriteHook(data, size); }

// `crc` is the caller's running CRC-32 of the output handed over so far.
std::int32_t WriteWithCrc(void* crc, const std::uint8_t* data, std::size_t size) {
  auto* running = static_cast<std::uint32_t*>(crc);
  *running = libdeflate_crc32(*running, data, size);
  return CallWriteHook(data, size);
}

template <std::int32_t kInput>
std::int64_t Read(void*, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  return static_cast<std::int64_t>(CallReadHook(kInput, static_cast<double>(offset), buffer, size));
}

std::int32_t Progress(void*, std::int32_t stage, std::uint64_t done, std::uint64_t total) {
  return CallProgressHook(stage, static_cast<double>(done), static_cast<double>(total));
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void varnock_web_set_progress(varnock_context* context) {
  varnock_set_progress(context, Progress, nullptr);
}

// The source and the patch read by ranges from JavaScript (a Blob read with
// scratch file or FileReaderSync in a worker, or bytes in memory), so that the
// module holds only the source's block cache, `source_cache` bytes (0: the
// library's default), whatever the inputs' sizes; with `crc_known` 1, `crc`
// is the source's CRC-32, taken before, and the source is not read whole for it.
EMSCRIPTEN_KEEPALIVE std::int32_t varnock_web_apply_ranges(varnock_context* context, double source_size,
                                                           double patch_size, double source_cache,
                                                           std::int32_t crc_known, std::uint32_t crc) {
  varnock_set_source_cache(context, static_cast<std::size_t>(source_cache));
  const std::int32_t code = varnock_set_source_crc(context, crc_known, crc);
  if (code != VARNOCK_OK) return code;
  return varnock_apply_ranges(context, Read<0>, nullptr, static_cast<std::uint64_t>(source_size), Read<1>,
                              nullptr, static_cast<std::uint64_t>(patch_size), Write, nullptr);
}

// What the patch, read by ranges from JavaScript, holds (varnock.h's
// varnock_inspect_patch_ranges), as doubles at `out`: kind, known bits, source
// CRC-32, target CRC-32, source length, target length, copies, literals, bytes
// copied, bytes carried, source reach.
inline constexpr int kInfoFields = 11;
EMSCRIPTEN_KEEPALIVE std::int32_t varnock_web_inspect_patch(varnock_context* context, double patch_size,
                                                            std::int32_t scope, double* out) {
  varnock_patch_info info{};
  const std::int32_t code = varnock_inspect_patch_ranges(
      context, Read<1>, nullptr, static_cast<std::uint64_t>(patch_size), scope, &info);
  const double fields[kInfoFields] = {
      static_cast<double>(info.kind),         static_cast<double>(info.known),
      static_cast<double>(info.source_crc),   static_cast<double>(info.target_crc),
      static_cast<double>(info.source_size),  static_cast<double>(info.target_size),
      static_cast<double>(info.copies),       static_cast<double>(info.literals),
      static_cast<double>(info.bytes_copied), static_cast<double>(info.bytes_carried),
      static_cast<double>(info.source_reach)};
  for (int i = 0; i < kInfoFields; ++i) out[i] = fields[i];
  return code;
}

// The web has one thread per module: the maker runs on the calling one.
EMSCRIPTEN_KEEPALIVE std::int32_t varnock_web_make_memory(varnock_context* context,
                                                          const std::uint8_t* source, std::size_t source_size,
                                                          const std::uint8_t* target, std::size_t target_size,
                                                          std::int32_t compressible, std::int32_t container,
                                                          std::uint32_t* crc) {
  varnock_make_options options{};
  options.compressible = compressible;
  options.container = container;
  options.threads = 1;
  return varnock_make_memory(context, source, source_size, target, target_size, &options, WriteWithCrc, crc,
                             nullptr);
}

// The CRC-32 of `size` bytes at `data`, continuing `crc` (0 to start).
EMSCRIPTEN_KEEPALIVE std::uint32_t varnock_web_crc32(std::uint32_t crc, const std::uint8_t* data,
                                                     std::size_t size) {
  return libdeflate_crc32(crc, data, size);
}

}  // extern "C"
