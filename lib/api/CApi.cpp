// The C edge: arguments checked, exceptions turned into codes and messages.
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "api/MakeApi.h"
#include "apply/Apply.h"
#include "apply/PatchInfo.h"
#include "common/LibraryErrors.h"
#include "io/CallbackInput.h"
#include "varnock.h"

static_assert(std::string_view(VARNOCK_VERSION_STRING) == VARNOCK_VERSION,
              "varnock.h's version macros must follow project() in CMakeLists.txt");

namespace varnock {
// What the setters set; a call takes a copy as it begins.
struct Settings {
  varnock_progress_fn progress = nullptr;
  void* progress_data = nullptr;
  InputAccess input_access = InputAccess::kRead;
  std::size_t source_cache = kDefaultSourceCache;
  std::optional<std::uint32_t> source_crc;
};
}  // namespace varnock

struct varnock_context {
  varnock::Settings settings;
  std::string message;
  std::uint32_t os_code = 0;
};

namespace varnock {
namespace {

#define VARNOCK_SAME_CODE(code, kind) static_assert(code == static_cast<std::int32_t>(ErrorKind::kind))
VARNOCK_SAME_CODE(VARNOCK_ERROR_OTHER, kOther);
VARNOCK_SAME_CODE(VARNOCK_ERROR_SOURCE_CHECKSUM, kSourceChecksum);
VARNOCK_SAME_CODE(VARNOCK_ERROR_TARGET_CHECKSUM, kTargetChecksum);
VARNOCK_SAME_CODE(VARNOCK_ERROR_NO_HEADER, kNoHeader);
VARNOCK_SAME_CODE(VARNOCK_ERROR_HEADER_CORRUPTED, kHeaderCorrupted);
VARNOCK_SAME_CODE(VARNOCK_ERROR_NOT_A_PATCH, kNotAPatch);
VARNOCK_SAME_CODE(VARNOCK_ERROR_UNSUPPORTED_VERSION, kUnsupportedVersion);
VARNOCK_SAME_CODE(VARNOCK_ERROR_UNEXPECTED_END, kUnexpectedEnd);
VARNOCK_SAME_CODE(VARNOCK_ERROR_UNEXPECTED_STOP, kUnexpectedStop);
VARNOCK_SAME_CODE(VARNOCK_ERROR_64BIT_LENGTH, kUnsupported64);
VARNOCK_SAME_CODE(VARNOCK_ERROR_SEEK_BEYOND_SOURCE, kBeyondSource);
VARNOCK_SAME_CODE(VARNOCK_ERROR_STOP_CHECK, kStopCheck);
VARNOCK_SAME_CODE(VARNOCK_ERROR_RANGE, kRange);
VARNOCK_SAME_CODE(VARNOCK_ERROR_OS, kOSError);
VARNOCK_SAME_CODE(VARNOCK_ERROR_CANNOT_CREATE, kCannotCreate);
VARNOCK_SAME_CODE(VARNOCK_ERROR_WRITE, kWriteError);
VARNOCK_SAME_CODE(VARNOCK_ERROR_OUT_OF_MEMORY, kOutOfMemory);
VARNOCK_SAME_CODE(VARNOCK_ERROR_CANCELLED, kCancelled);
VARNOCK_SAME_CODE(VARNOCK_ERROR_BAD_ARGUMENT, kBadArgument);
VARNOCK_SAME_CODE(VARNOCK_ERROR_INPUT_SHORTENED, kInputShortened);
VARNOCK_SAME_CODE(VARNOCK_ERROR_TOO_LARGE, kTooLarge);
VARNOCK_SAME_CODE(VARNOCK_ERROR_BUFFER_TOO_SMALL, kBufferTooSmall);
VARNOCK_SAME_CODE(VARNOCK_ERROR_PATCH_EXISTS, kPatchExists);
VARNOCK_SAME_CODE(VARNOCK_ERROR_READ, kReadError);
VARNOCK_SAME_CODE(VARNOCK_ERROR_CONTAINER_DAMAGED, kContainerDamaged);
VARNOCK_SAME_CODE(VARNOCK_ERROR_CONTAINER_VERSION, kContainerVersion);
VARNOCK_SAME_CODE(VARNOCK_ERROR_XZ_DAMAGED, kXzDamaged);
VARNOCK_SAME_CODE(VARNOCK_ERROR_ZSTD_DAMAGED, kZstdDamaged);
#undef VARNOCK_SAME_CODE
static_assert(VARNOCK_STAGE_CHECKSUM == static_cast<std::int32_t>(Stage::kChecksum) &&
              VARNOCK_STAGE_WRITING == static_cast<std::int32_t>(Stage::kWriting) &&
              VARNOCK_STAGE_VERIFYING == static_cast<std::int32_t>(Stage::kVerifying) &&
              VARNOCK_STAGE_INDEXING == static_cast<std::int32_t>(Stage::kIndexing) &&
              VARNOCK_STAGE_MATCHING == static_cast<std::int32_t>(Stage::kMatching));

constexpr const char* kCodeNames[] = {
    "VARNOCK_OK",
    "VARNOCK_ERROR_OTHER",
    "VARNOCK_ERROR_SOURCE_CHECKSUM",
    "VARNOCK_ERROR_TARGET_CHECKSUM",
    "VARNOCK_ERROR_NO_HEADER",
    "VARNOCK_ERROR_HEADER_CORRUPTED",
    "VARNOCK_ERROR_NOT_A_PATCH",
    "VARNOCK_ERROR_UNSUPPORTED_VERSION",
    "VARNOCK_ERROR_UNEXPECTED_END",
    "VARNOCK_ERROR_UNEXPECTED_STOP",
    "VARNOCK_ERROR_64BIT_LENGTH",
    "VARNOCK_ERROR_SEEK_BEYOND_SOURCE",
    "VARNOCK_ERROR_STOP_CHECK",
    "VARNOCK_ERROR_RANGE",
    "VARNOCK_ERROR_OS",
    "VARNOCK_ERROR_CANNOT_CREATE",
    "VARNOCK_ERROR_WRITE",
    "VARNOCK_ERROR_OUT_OF_MEMORY",
    "VARNOCK_ERROR_CANCELLED",
    "VARNOCK_ERROR_BAD_ARGUMENT",
    "VARNOCK_ERROR_INPUT_SHORTENED",
    "VARNOCK_ERROR_TOO_LARGE",
    "VARNOCK_ERROR_BUFFER_TOO_SMALL",
    "VARNOCK_ERROR_PATCH_EXISTS",
    "VARNOCK_ERROR_READ",
    "VARNOCK_ERROR_CONTAINER_DAMAGED",
    "VARNOCK_ERROR_CONTAINER_VERSION",
    "VARNOCK_ERROR_XZ_DAMAGED",
    "VARNOCK_ERROR_ZSTD_DAMAGED",
};
static_assert(VARNOCK_DEFAULT_SOURCE_CACHE == kDefaultSourceCache);

// The host's callback behind the library's progress, as it was when the call
// began.
class HostProgressSink : public ProgressSink {
 public:
  HostProgressSink(varnock_progress_fn progress, void* user_data)
      : progress_(progress), user_data_(user_data) {}
  bool Report(Stage stage, std::uint64_t done, std::uint64_t total) override {
    return progress_(user_data_, static_cast<std::int32_t>(stage), done, total) == 0;
  }

 private:
  varnock_progress_fn progress_;
  void* user_data_;
};

std::int32_t Fail(varnock_context& context, std::int32_t code, const char* message,
                  std::uint32_t os_code = 0) {
  try {
    context.message = message;
  } catch (...) {
    context.message.clear();  // no memory for the words; the code still says it all
  }
  context.os_code = os_code;
  return code;
}

// Runs `call` with the context's settings as they are now, which a host may
// change from a callback during the call for the calls after it; every error
// becomes a code. The message and OS code left are this call's, whatever a
// call nested in a callback left there.
template <typename Call>
std::int32_t Guarded(varnock_context* context, Call&& call) {
  if (context == nullptr) return VARNOCK_ERROR_BAD_ARGUMENT;
  context->message.clear();
  context->os_code = 0;
  try {
    const Settings settings = context->settings;
    HostProgressSink sink(settings.progress, settings.progress_data);
    Progress progress(settings.progress != nullptr ? &sink : nullptr);
    call(settings, progress);
    context->message.clear();
    context->os_code = 0;
    return VARNOCK_OK;
  } catch (const EOSError& error) {
    return Fail(*context, VARNOCK_ERROR_OS, error.what(), error.ErrorCode());
  } catch (const Exception& error) {
    return Fail(*context, static_cast<std::int32_t>(error.Kind()), error.what());
  } catch (const std::bad_alloc&) {
    return Fail(*context, VARNOCK_ERROR_OUT_OF_MEMORY, EOutOfMemory().what());
  } catch (const std::exception& error) {
    return Fail(*context, VARNOCK_ERROR_OTHER, error.what());
  } catch (...) {
    // Whatever a host's callback threw must not cross the C edge.
    return Fail(*context, VARNOCK_ERROR_OTHER, "An unknown exception left a callback");
  }
}

void Require(bool holds, const char* what) {
  if (!holds) throw EBadArgument(what);
}

void RequireRangedSize(std::uint64_t size, const char* name) {
  // The file path's bound, which also keeps the cache's index of blocks small.
  if (size > kLargestFile) {
    throw Exception(ErrorKind::kTooLarge,
                    std::string("The ") + name + " is " + std::to_string(size) +
                        " bytes long; inputs read by ranges are below 4 GiB (4294967296 bytes)");
  }
}

ByteSpan Span(const std::uint8_t* data, std::size_t size, const char* what) {
  Require(data != nullptr || size == 0, what);
  return {data, size};
}

static_assert(VARNOCK_KIND_RAW == static_cast<std::int32_t>(PatchKind::kRaw) &&
              VARNOCK_KIND_CONTAINER == static_cast<std::int32_t>(PatchKind::kContainer) &&
              VARNOCK_KIND_XZ == static_cast<std::int32_t>(PatchKind::kXz) &&
              VARNOCK_KIND_ZSTD == static_cast<std::int32_t>(PatchKind::kZstd));

// Fills `*info` from what InspectPatch found; every other field stays 0.
void Describe(InputRanges& patch, std::int32_t scope, const std::string& patch_name,
              varnock_patch_info* info) {
  Require(info != nullptr, "info is null");
  *info = {};
  Require(scope == VARNOCK_INFO_HEADER || scope == VARNOCK_INFO_SCAN, "unknown info scope");
  const PatchInfo found = InspectPatch(patch, scope == VARNOCK_INFO_SCAN, patch_name);
  varnock_patch_info told{};
  told.kind = static_cast<std::int32_t>(found.kind);
  if (found.header) {
    told.known |= VARNOCK_INFO_CHECKSUMS;
    told.source_crc = found.header->source_crc;
    told.target_crc = found.header->target_crc;
  }
  if (found.source_size) {
    told.known |= VARNOCK_INFO_SOURCE_SIZE;
    told.source_size = *found.source_size;
  }
  if (found.target_size) {
    told.known |= VARNOCK_INFO_TARGET_SIZE;
    told.target_size = *found.target_size;
  }
  if (found.counts) {
    told.known |= VARNOCK_INFO_COUNTS;
    told.copies = found.counts->copies;
    told.literals = found.counts->literals;
    told.bytes_copied = found.counts->bytes_copied;
    told.bytes_carried = found.counts->bytes_carried;
    told.source_reach = found.counts->source_reach;
  }
  *info = told;
}

}  // namespace
}  // namespace varnock

using namespace varnock;

extern "C" {

varnock_context* varnock_context_new(void) { return new (std::nothrow) varnock_context; }

void varnock_context_free(varnock_context* context) { delete context; }

void varnock_set_progress(varnock_context* context, varnock_progress_fn progress, void* user_data) {
  if (context == nullptr) return;
  context->settings.progress = progress;
  context->settings.progress_data = user_data;
}

int32_t varnock_set_input_access(varnock_context* context, int32_t access) {
  return Guarded(context, [&](const Settings&, Progress&) {
    Require(access == VARNOCK_INPUTS_READ || access == VARNOCK_INPUTS_MAPPED, "unknown input access");
    context->settings.input_access =
        access == VARNOCK_INPUTS_READ ? InputAccess::kRead : InputAccess::kMapped;
  });
}

int32_t varnock_set_source_cache(varnock_context* context, size_t bytes) {
  return Guarded(context, [&](const Settings&, Progress&) {
    context->settings.source_cache = bytes == 0 ? kDefaultSourceCache : bytes;
  });
}

int32_t varnock_set_source_crc(varnock_context* context, int32_t known, uint32_t crc) {
  return Guarded(context, [&](const Settings&, Progress&) {
    Require(known == 0 || known == 1, "known is neither 0 nor 1");
    context->settings.source_crc = known == 1 ? std::optional<std::uint32_t>(crc) : std::nullopt;
  });
}

const char* varnock_error_message(const varnock_context* context) {
  return context != nullptr ? context->message.c_str() : "";
}

uint32_t varnock_os_error_code(const varnock_context* context) {
  return context != nullptr ? context->os_code : 0;
}

const char* varnock_code_name(int32_t code) {
  if (code < 0 || static_cast<std::size_t>(code) >= std::size(kCodeNames)) return "unknown";
  return kCodeNames[code];
}

uint32_t varnock_version_number(void) { return VARNOCK_VERSION_NUMBER; }

const char* varnock_version_string(void) { return VARNOCK_VERSION_STRING; }

int32_t varnock_apply_files(varnock_context* context, const char* source_name, const char* target_name,
                            const char* patch_name) {
  return Guarded(context, [&](const Settings& settings, Progress& progress) {
    Require(source_name != nullptr && target_name != nullptr && patch_name != nullptr, "a file name is null");
    ApplyPatchFiles({source_name, target_name, patch_name}, settings.input_access, progress,
                    settings.source_cache, settings.source_crc);
  });
}

int32_t varnock_apply_memory(varnock_context* context, const uint8_t* source, size_t source_size,
                             const uint8_t* patch, size_t patch_size, varnock_write_fn write,
                             void* write_data) {
  return Guarded(context, [&](const Settings& settings, Progress& progress) {
    const ByteSpan source_bytes = Span(source, source_size, "source is null");
    const ByteSpan patch_bytes = Span(patch, patch_size, "patch is null");
    Require(write != nullptr, "write callback is null");
    CallbackTarget target(write, write_data);
    ApplyPatchMemory(source_bytes, patch_bytes, target, progress, settings.source_crc);
  });
}

int32_t varnock_apply_ranges(varnock_context* context, varnock_read_fn read_source, void* source_data,
                             uint64_t source_size, varnock_read_fn read_patch, void* patch_data,
                             uint64_t patch_size, varnock_write_fn write, void* write_data) {
  return Guarded(context, [&](const Settings& settings, Progress& progress) {
    Require(read_source != nullptr && read_patch != nullptr, "read callback is null");
    Require(write != nullptr, "write callback is null");
    RequireRangedSize(source_size, "source");
    RequireRangedSize(patch_size, "patch");
    CallbackInput source(read_source, source_data, source_size, "<source>");
    CallbackInput patch(read_patch, patch_data, patch_size, "<patch>");
    CallbackTarget target(write, write_data);
    ApplyPatchRanges(source, patch, kRangedPatchName, target, settings.source_cache, progress,
                     settings.source_crc);
  });
}

int32_t varnock_apply_to_buffer(varnock_context* context, const uint8_t* source, size_t source_size,
                                const uint8_t* patch, size_t patch_size, uint8_t* target, size_t capacity,
                                size_t* target_size) {
  std::optional<BufferTarget> buffer;
  const std::int32_t code = Guarded(context, [&](const Settings& settings, Progress& progress) {
    const ByteSpan source_bytes = Span(source, source_size, "source is null");
    const ByteSpan patch_bytes = Span(patch, patch_size, "patch is null");
    Require(target != nullptr || capacity == 0, "target is null");
    Require(target_size != nullptr, "target_size is null");
    buffer.emplace(target, capacity);
    ApplyPatchMemory(source_bytes, patch_bytes, *buffer, progress, settings.source_crc);
  });
  if (target_size != nullptr) *target_size = buffer ? buffer->Written() : 0;
  return code;
}

int32_t varnock_target_size(varnock_context* context, const uint8_t* source, size_t source_size,
                            const uint8_t* patch, size_t patch_size, uint64_t* target_size) {
  return Guarded(context, [&](const Settings& settings, Progress&) {
    const ByteSpan source_bytes = Span(source, source_size, "source is null");
    const ByteSpan patch_bytes = Span(patch, patch_size, "patch is null");
    Require(target_size != nullptr, "target_size is null");
    *target_size = MeasureTarget(source_bytes, patch_bytes, settings.source_crc);
  });
}

int32_t varnock_inspect_patch(varnock_context* context, const uint8_t* patch, size_t patch_size,
                              int32_t scope, varnock_patch_info* info) {
  return Guarded(context, [&](const Settings&, Progress&) {
    SpanRanges input(Span(patch, patch_size, "patch is null"));
    Describe(input, scope, kMemoryPatchName, info);
  });
}

int32_t varnock_inspect_patch_ranges(varnock_context* context, varnock_read_fn read_patch, void* patch_data,
                                     uint64_t patch_size, int32_t scope, varnock_patch_info* info) {
  return Guarded(context, [&](const Settings&, Progress&) {
    Require(read_patch != nullptr, "read callback is null");
    RequireRangedSize(patch_size, "patch");
    CallbackInput input(read_patch, patch_data, patch_size, "<patch>");
    Describe(input, scope, kRangedPatchName, info);
  });
}

int32_t varnock_make_memory(varnock_context* context, const uint8_t* source, size_t source_size,
                            const uint8_t* target, size_t target_size, const varnock_make_options* options,
                            varnock_write_fn write, void* write_data, uint64_t* patch_size) {
  return Guarded(context, [&](const Settings&, Progress& progress) {
    const ByteSpan source_bytes = Span(source, source_size, "source is null");
    const ByteSpan target_bytes = Span(target, target_size, "target is null");
    Require(write != nullptr, "write callback is null");
    const std::uint64_t size = MakePatchMemory(source_bytes, target_bytes, MakeOptionsFrom(options).maker,
                                               write, write_data, progress);
    if (patch_size != nullptr) *patch_size = size;
  });
}

int32_t varnock_make_files(varnock_context* context, const char* source_name, const char* target_name,
                           const char* patch_name, const varnock_make_options* options) {
  return Guarded(context, [&](const Settings&, Progress& progress) {
    Require(source_name != nullptr && target_name != nullptr && patch_name != nullptr, "a file name is null");
    MakePatchFiles({source_name, target_name, patch_name}, MakeOptionsFrom(options), progress);
  });
}

}  // extern "C"
