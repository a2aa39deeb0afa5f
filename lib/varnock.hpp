// A thin C++20 layer over varnock.h, in this header alone: a context that
// frees itself, byte spans in, byte vectors out, and every failure thrown as
// varnock::Error with the library's code and message. Nothing here crosses
// the library's ABI: it calls the C functions and nothing else.
//
// Threads: as varnock.h; one Context per thread at a time.
#ifndef VARNOCK_HPP
#define VARNOCK_HPP

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "varnock.h"

namespace varnock {

// A failed call: its VARNOCK_ERROR_* code, the message varnock prints for it
// (what()), and the OS's code where there is one.
class Error : public std::runtime_error {
 public:
  Error(std::int32_t code, const std::string& message, std::uint32_t os_code)
      : std::runtime_error(message), code_(code), os_code_(os_code) {}
  std::int32_t Code() const noexcept { return code_; }
  std::uint32_t OsCode() const noexcept { return os_code_; }

 private:
  std::int32_t code_;
  std::uint32_t os_code_;
};

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Told a stage (VARNOCK_STAGE_*) and its bytes done of total; false cancels
// the call, which then throws Error with VARNOCK_ERROR_CANCELLED. An exception
// it throws cancels the call too, and is not seen again.
using ProgressFunction = std::function<bool(std::int32_t stage, std::uint64_t done, std::uint64_t total)>;

// Places the bytes of an input from `offset` at the start of `buffer` and
// returns how many it placed: all of them, or fewer and it is asked again for
// the rest; 0 means the input ended early (VARNOCK_ERROR_INPUT_SHORTENED).
// An exception it throws fails the call with VARNOCK_ERROR_READ.
using ReadFunction = std::function<std::size_t(std::uint64_t offset, std::span<std::uint8_t> buffer)>;
// Takes the target front to back, piece by piece; an exception it throws
// fails the call with VARNOCK_ERROR_WRITE.
using WriteFunction = std::function<void(ByteView piece)>;

class Context {
 public:
  // Throws std::bad_alloc when memory is short.
  Context() : context_(varnock_context_new(), &varnock_context_free) {
    if (!context_) throw std::bad_alloc();
  }
  // The C callbacks hold this object's address, so it stays where it is.
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  void SetProgress(ProgressFunction progress) {
    progress_ = std::move(progress);
    varnock_set_progress(context_.get(), progress_ ? &Context::OnProgress : nullptr, this);
  }

  // VARNOCK_INPUTS_READ or VARNOCK_INPUTS_MAPPED.
  void SetInputAccess(std::int32_t access) { Check(varnock_set_input_access(context_.get(), access)); }

  // The most memory the source's block cache takes; 0 for the default.
  void SetSourceCache(std::size_t bytes) { Check(varnock_set_source_cache(context_.get(), bytes)); }

  // The source's CRC-32, taken before of these very bytes, so that applying
  // need not read the source whole for it (varnock_set_source_crc); none to
  // have it read again.
  void SetSourceCrc(std::optional<std::uint32_t> crc) {
    Check(varnock_set_source_crc(context_.get(), crc ? 1 : 0, crc.value_or(0)));
  }

  // Applies a patch to a source both read by ranges (varnock_apply_ranges),
  // handing the target to `write`.
  void ApplyRanges(std::uint64_t source_size, const ReadFunction& read_source, std::uint64_t patch_size,
                   const ReadFunction& read_patch, const WriteFunction& write) {
    Check(varnock_apply_ranges(context_.get(), &Context::Read, const_cast<ReadFunction*>(&read_source),
                               source_size, &Context::Read, const_cast<ReadFunction*>(&read_patch),
                               patch_size, &Context::Write, const_cast<WriteFunction*>(&write)));
  }

  // The same with the patch held in memory.
  void ApplyRanges(std::uint64_t source_size, const ReadFunction& read_source, ByteView patch,
                   const WriteFunction& write) {
    const ReadFunction read_patch = [patch](std::uint64_t offset, std::span<std::uint8_t> buffer) {
      const ByteView from = patch.subspan(static_cast<std::size_t>(offset), buffer.size());
      std::copy(from.begin(), from.end(), buffer.begin());
      return buffer.size();
    };
    ApplyRanges(source_size, read_source, patch.size(), read_patch, write);
  }

  void ApplyFiles(const std::string& source, const std::string& target, const std::string& patch) {
    Check(varnock_apply_files(context_.get(), source.c_str(), target.c_str(), patch.c_str()));
  }

  // The target, rebuilt in memory: its length found first, then one copy of
  // it into the vector returned.
  Bytes Apply(ByteView source, ByteView patch) {
    std::uint64_t size = 0;
    Check(
        varnock_target_size(context_.get(), source.data(), source.size(), patch.data(), patch.size(), &size));
    if (size > SIZE_MAX) throw Error(VARNOCK_ERROR_OUT_OF_MEMORY, "Out of memory", 0);
    Bytes target(static_cast<std::size_t>(size));
    std::size_t written = 0;
    Check(varnock_apply_to_buffer(context_.get(), source.data(), source.size(), patch.data(), patch.size(),
                                  target.data(), target.size(), &written));
    return target;
  }

  // What a patch holds, told without its source (varnock_inspect_patch);
  // `scope` is VARNOCK_INFO_HEADER or VARNOCK_INFO_SCAN.
  varnock_patch_info Inspect(ByteView patch, std::int32_t scope = VARNOCK_INFO_HEADER) {
    varnock_patch_info info{};
    Check(varnock_inspect_patch(context_.get(), patch.data(), patch.size(), scope, &info));
    return info;
  }

  // The same on a patch read by ranges (varnock_inspect_patch_ranges).
  varnock_patch_info Inspect(std::uint64_t patch_size, const ReadFunction& read_patch,
                             std::int32_t scope = VARNOCK_INFO_HEADER) {
    varnock_patch_info info{};
    Check(varnock_inspect_patch_ranges(context_.get(), &Context::Read, const_cast<ReadFunction*>(&read_patch),
                                       patch_size, scope, &info));
    return info;
  }

  // The patch that rebuilds `target` from `source`; null options for the defaults.
  Bytes Make(ByteView source, ByteView target, const varnock_make_options* options = nullptr) {
    Bytes patch;
    Check(varnock_make_memory(context_.get(), source.data(), source.size(), target.data(), target.size(),
                              options, &Context::Append, &patch, nullptr));
    return patch;
  }

  void MakeFiles(const std::string& source, const std::string& target, const std::string& patch,
                 const varnock_make_options* options = nullptr) {
    Check(varnock_make_files(context_.get(), source.c_str(), target.c_str(), patch.c_str(), options));
  }

  varnock_context* Get() const noexcept { return context_.get(); }

 private:
  void Check(std::int32_t code) const {
    if (code != VARNOCK_OK) {
      throw Error(code, varnock_error_message(context_.get()), varnock_os_error_code(context_.get()));
    }
  }

  static std::int32_t OnProgress(void* self, std::int32_t stage, std::uint64_t done, std::uint64_t total) {
    try {
      return static_cast<Context*>(self)->progress_(stage, done, total) ? 0 : 1;
    } catch (...) {
      return 1;
    }
  }

  static std::int64_t Read(void* function, std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
    try {
      return static_cast<std::int64_t>((*static_cast<const ReadFunction*>(function))(offset, {buffer, size}));
    } catch (...) {
      return -1;
    }
  }

  static std::int32_t Write(void* function, const std::uint8_t* data, std::size_t size) {
    try {
      (*static_cast<const WriteFunction*>(function))({data, size});
      return 0;
    } catch (...) {
      return 1;
    }
  }

  static std::int32_t Append(void* bytes, const std::uint8_t* data, std::size_t size) {
    try {
      static_cast<Bytes*>(bytes)->insert(static_cast<Bytes*>(bytes)->end(), data, data + size);
      return 0;
    } catch (...) {
      return 1;
    }
  }

  std::unique_ptr<varnock_context, decltype(&varnock_context_free)> context_;
  ProgressFunction progress_;
};

}  // namespace varnock

#endif  // VARNOCK_HPP
