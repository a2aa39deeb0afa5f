// Guards against an API that reports a failure with the wrong code, with other
// words than the program prints, or that loses the runs written before it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <span>

#ifndef _WIN32
#include <sys/mman.h>
#endif

#include "api/ApiSupport.h"
#include "support/OsCodes.h"

namespace varnock {
namespace {

using testing::BuildPatch;
using testing::BuildPatchFor;
using testing::Bytes;
using testing::Copy;
using testing::PatchFields;
using testing::ShortLiteral;
using testing::TempDir;
using testing::ToBytes;

const Bytes& Source() {
  static const Bytes source = testing::Pattern(300, 1);
  return source;
}

PatchFields MatchingFields() {
  PatchFields fields;
  fields.source_crc = Crc32(Source());
  return fields;
}

struct ErrorCase {
  const char* name;
  std::int32_t code;
  // The message for a patch that goes by `patch_name`.
  std::function<std::string(const std::string& patch_name)> message;
  std::function<Bytes()> patch;
  Bytes target_left;
};

std::function<std::string(const std::string&)> Fixed(const char* message) {
  return [message](const std::string&) { return message; };
}

const std::vector<ErrorCase>& ErrorCases() {
  static const std::vector<ErrorCase> cases = {
      {"no header",
       VARNOCK_ERROR_NO_HEADER,
       Fixed("Patch file contains no header."),
       [] {
         return Bytes{1, 2, 3};
       },
       {}},
      {"header corrupted",
       VARNOCK_ERROR_HEADER_CORRUPTED,
       Fixed("Patch file header corrupted."),
       [] { return Bytes{11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xD1, 0xFF, 0xD1, 0xFF, 4, 0}; },
       {}},
      {"source checksum",
       VARNOCK_ERROR_SOURCE_CHECKSUM,
       Fixed("Source file checksum don't match"),
       [] { return BuildPatch({}, {ShortLiteral(ToBytes("abc"))}); },
       {}},
      {"not a patch",
       VARNOCK_ERROR_NOT_A_PATCH,
       [](const std::string& name) { return name + " is not a patch"; },
       [] {
         Bytes patch = BuildPatch(MatchingFields(), {});
         patch[13] = 0xFE;
         return patch;
       },
       {}},
      {"unsupported version",
       VARNOCK_ERROR_UNSUPPORTED_VERSION,
       Fixed("Unsupported version of patch format "),
       [] {
         PatchFields fields = MatchingFields();
         fields.version = 5;
         return BuildPatch(fields, {});
       },
       {}},
      {"stop check",
       VARNOCK_ERROR_STOP_CHECK,
       Fixed("Internal error checking the stop instruction"),
       [] {
         PatchFields fields = MatchingFields();
         fields.stop = false;
         return BuildPatch(fields, {});
       },
       {}},
      {"unexpected end", VARNOCK_ERROR_UNEXPECTED_END, Fixed("Unexpected end of patch file"),
       [] {
         PatchFields fields = MatchingFields();
         fields.stop = false;
         return BuildPatch(fields, {ShortLiteral(ToBytes("abc")), {0x07}});
       },
       ToBytes("abc")},
      {"unexpected stop", VARNOCK_ERROR_UNEXPECTED_STOP,
       Fixed("Unexpected stop instruction before end of patch file"),
       [] {
         return BuildPatch(MatchingFields(), {ShortLiteral(ToBytes("abc")), {0x00}});
       },
       ToBytes("abc")},
      {"64-bit length", VARNOCK_ERROR_64BIT_LENGTH,
       Fixed("64-bit length of file is not supported in this version"),
       [] {
         return BuildPatch(MatchingFields(), {ShortLiteral(ToBytes("ab")), {0xFF}});
       },
       ToBytes("ab")},
      {"seek beyond source", VARNOCK_ERROR_SEEK_BEYOND_SOURCE,
       Fixed("Seek beyond source file end. Instruction at 20"),
       [] {
         return BuildPatch(MatchingFields(), {ShortLiteral(ToBytes("ab")), Copy(0xF9, 290, 11)});
       },
       ToBytes("ab")},
      {"target checksum", VARNOCK_ERROR_TARGET_CHECKSUM, Fixed("Target file checksum don't match"),
       [] {
         return BuildPatch(MatchingFields(), {ShortLiteral(ToBytes("ab")), Copy(0xF9, 290, 10)});
       },
       [] {
         Bytes target = ToBytes("ab");
         target.insert(target.end(), Source().begin() + 290, Source().end());
         return target;
       }()},
  };
  return cases;
}

class ApplyErrors : public ::testing::Test {
 protected:
  testing::Context context_ = testing::NewContext();
  TempDir directory_;
};

TEST_F(ApplyErrors, EachKindHasItsCodeMessageAndPrefixInEveryWay) {
  for (const ErrorCase& error : ErrorCases()) {
    SCOPED_TRACE(error.name);
    const Bytes patch = error.patch();
    const std::string memory_message = error.message("<memory>");

    testing::Outcome memory = testing::ApplyMemory(context_.get(), Source(), patch);
    EXPECT_EQ(memory.code, error.code) << varnock_code_name(memory.code);
    EXPECT_EQ(memory.message, memory_message);
    EXPECT_EQ(memory.target, error.target_left);

    testing::Outcome buffer = testing::ApplyToBuffer(context_.get(), Source(), patch, 1000);
    EXPECT_EQ(buffer.code, error.code);
    EXPECT_EQ(buffer.message, memory_message);
    EXPECT_EQ(buffer.target, error.target_left);

    // Read by ranges, also one byte a call and through the smallest cache.
    for (const std::size_t longest_read : {static_cast<std::size_t>(-1), std::size_t{1}}) {
      ASSERT_EQ(varnock_set_source_cache(context_.get(), longest_read), VARNOCK_OK);
      testing::Outcome ranges = testing::ApplyRanges(context_.get(), Source(), patch, longest_read);
      EXPECT_EQ(ranges.code, error.code) << varnock_code_name(ranges.code);
      EXPECT_EQ(ranges.message, error.message("<patch>"));
      EXPECT_EQ(ranges.target, error.target_left);
    }
    ASSERT_EQ(varnock_set_source_cache(context_.get(), 0), VARNOCK_OK);

    for (std::int32_t access : {VARNOCK_INPUTS_READ, VARNOCK_INPUTS_MAPPED}) {
      ASSERT_EQ(varnock_set_input_access(context_.get(), access), VARNOCK_OK);
      testing::Outcome files = testing::ApplyFiles(context_.get(), directory_, Source(), patch);
      EXPECT_EQ(files.code, error.code);
      EXPECT_EQ(files.message, error.message(directory_.File("patch")));
      EXPECT_EQ(files.target, error.target_left);
    }
  }
}

TEST_F(ApplyErrors, SucceedingCallLeavesNoMessage) {
  ASSERT_NE(testing::ApplyMemory(context_.get(), Source(), Bytes{1}).code, VARNOCK_OK);
  const Bytes patch = BuildPatchFor(Source(), ToBytes("ab"), {ShortLiteral(ToBytes("ab"))});
  testing::Outcome outcome = testing::ApplyMemory(context_.get(), Source(), patch);
  EXPECT_EQ(outcome.code, VARNOCK_OK);
  EXPECT_EQ(outcome.message, "");
  EXPECT_EQ(outcome.target, ToBytes("ab"));
}

std::string OsMessage(std::uint32_t code) {
#ifdef _WIN32
  (void)code;
  return "";
#else
  return "System Error.  Code: " + std::to_string(code) + ".\r\n" + strerrordesc_np(static_cast<int>(code));
#endif
}

TEST_F(ApplyErrors, FileFailuresCarryTheOsCodeAndText) {
  const std::string source = directory_.Write("source", Source());
  const std::string patch = directory_.Write("patch", BuildPatchFor(Source(), {}, {}));
  const std::string missing = directory_.File("missing");
  const std::string unreachable = directory_.File("no-such-directory/target");
  struct Case {
    const char* name;
    std::string source, target, patch;
    std::int32_t code;
    std::uint32_t os_code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"missing source", missing, directory_.File("target"), patch, VARNOCK_ERROR_OS,
       testing::kCodeMissingFile, OsMessage(testing::kCodeMissingFile)},
      {"missing patch", source, directory_.File("target"), missing, VARNOCK_ERROR_OS,
       testing::kCodeMissingFile, OsMessage(testing::kCodeMissingFile)},
      {"target in no directory", source, unreachable, patch, VARNOCK_ERROR_CANNOT_CREATE, 0,
       "Cannot create file \"" + unreachable + "\". No such file or directory"},
      {"target is the source", source, source, patch, VARNOCK_ERROR_CANNOT_CREATE, 0,
       "Cannot create file \"" + source + "\". Device or resource busy"},
      {"target is the patch", source, patch, patch, VARNOCK_ERROR_CANNOT_CREATE, 0,
       "Cannot create file \"" + patch + "\". Device or resource busy"},
  };
  for (std::int32_t access : {VARNOCK_INPUTS_READ, VARNOCK_INPUTS_MAPPED}) {
    ASSERT_EQ(varnock_set_input_access(context_.get(), access), VARNOCK_OK);
    for (const Case& error : cases) {
      SCOPED_TRACE(error.name);
      const Bytes source_before = TempDir::Read(source), patch_before = TempDir::Read(patch);
      EXPECT_EQ(varnock_apply_files(context_.get(), error.source.c_str(), error.target.c_str(),
                                    error.patch.c_str()),
                error.code);
      EXPECT_EQ(varnock_os_error_code(context_.get()), error.os_code);
#ifndef _WIN32
      EXPECT_EQ(varnock_error_message(context_.get()), error.message);
#endif
      EXPECT_EQ(TempDir::Read(source), source_before);
      EXPECT_EQ(TempDir::Read(patch), patch_before);
    }
  }
}

std::int32_t Refuse(void*, const std::uint8_t*, std::size_t) { return 1; }

TEST_F(ApplyErrors, CallerSideFailuresHaveTheirOwnCodes) {
  const Bytes target = testing::Pattern(100, 2);
  const Bytes patch = BuildPatchFor(Source(), target, {ShortLiteral(target)});
  Bytes buffer(99);
  std::size_t size = 12345;
  std::uint64_t measured = 0;
  struct Case {
    const char* name;
    std::function<std::int32_t()> call;
    std::int32_t code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"write callback fails",
       [&] {
         return varnock_apply_memory(context_.get(), Source().data(), Source().size(), patch.data(),
                                     patch.size(), Refuse, nullptr);
       },
       VARNOCK_ERROR_WRITE, "Stream write error"},
      {"buffer one byte short",
       [&] {
         return varnock_apply_to_buffer(context_.get(), Source().data(), Source().size(), patch.data(),
                                        patch.size(), buffer.data(), buffer.size(), &size);
       },
       VARNOCK_ERROR_BUFFER_TOO_SMALL, "Target buffer too small"},
      {"no write callback",
       [&] {
         return varnock_apply_memory(context_.get(), Source().data(), Source().size(), patch.data(),
                                     patch.size(), nullptr, nullptr);
       },
       VARNOCK_ERROR_BAD_ARGUMENT, "Bad argument: write callback is null"},
      {"null source with a size",
       [&] { return varnock_target_size(context_.get(), nullptr, 1, patch.data(), patch.size(), &measured); },
       VARNOCK_ERROR_BAD_ARGUMENT, "Bad argument: source is null"},
      {"null file name", [&] { return varnock_apply_files(context_.get(), nullptr, "target", "patch"); },
       VARNOCK_ERROR_BAD_ARGUMENT, "Bad argument: a file name is null"},
      {"unknown input access", [&] { return varnock_set_input_access(context_.get(), 7); },
       VARNOCK_ERROR_BAD_ARGUMENT, "Bad argument: unknown input access"},
  };
  for (const Case& error : cases) {
    SCOPED_TRACE(error.name);
    EXPECT_EQ(error.call(), error.code);
    EXPECT_STREQ(varnock_error_message(context_.get()), error.message);
  }
  EXPECT_EQ(size, 0u);  // the one run did not fit, so nothing was written
  EXPECT_EQ(varnock_apply_files(nullptr, "s", "t", "p"), VARNOCK_ERROR_BAD_ARGUMENT);
}

#if !defined(_WIN32) && UINTPTR_MAX > 0xFFFFFFFF
// A run of 2^31 bytes needs a source that long: 2 GiB of untouched anonymous
// memory, which reads as zeros (and, with huge pages, costs a few faults).
TEST_F(ApplyErrors, ARunOfTwoGiBIsARangeError) {
  constexpr std::size_t kSize = std::size_t{1} << 31;
  void* memory = mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  madvise(memory, kSize, MADV_HUGEPAGE);
  const std::span<const std::uint8_t> source(static_cast<const std::uint8_t*>(memory), kSize);
  PatchFields fields;
  fields.source_crc = Crc32(source);
  const Bytes patch = BuildPatch(fields, {Copy(0xFB, 0, kSize)});
  Bytes target;
  EXPECT_EQ(varnock_apply_memory(context_.get(), source.data(), source.size(), patch.data(), patch.size(),
                                 testing::AppendTo, &target),
            VARNOCK_ERROR_RANGE);
  EXPECT_STREQ(varnock_error_message(context_.get()), "Range check error");
  EXPECT_TRUE(target.empty());
  munmap(memory, kSize);
}
#endif

TEST_F(ApplyErrors, CodeNamesAreStable) {
  EXPECT_STREQ(varnock_code_name(VARNOCK_OK), "VARNOCK_OK");
  EXPECT_STREQ(varnock_code_name(VARNOCK_ERROR_RANGE), "VARNOCK_ERROR_RANGE");
  EXPECT_STREQ(varnock_code_name(VARNOCK_ERROR_BUFFER_TOO_SMALL), "VARNOCK_ERROR_BUFFER_TOO_SMALL");
  EXPECT_STREQ(varnock_code_name(VARNOCK_ERROR_PATCH_EXISTS), "VARNOCK_ERROR_PATCH_EXISTS");
  EXPECT_STREQ(varnock_code_name(VARNOCK_ERROR_READ), "VARNOCK_ERROR_READ");
  EXPECT_STREQ(varnock_code_name(VARNOCK_ERROR_CONTAINER_DAMAGED), "VARNOCK_ERROR_CONTAINER_DAMAGED");
  EXPECT_STREQ(varnock_code_name(VARNOCK_ERROR_ZSTD_DAMAGED), "VARNOCK_ERROR_ZSTD_DAMAGED");
  EXPECT_STREQ(varnock_code_name(VARNOCK_ERROR_ZSTD_DAMAGED + 1), "unknown");
  EXPECT_STREQ(varnock_code_name(-1), "unknown");
  EXPECT_EQ(varnock_version_number(), static_cast<std::uint32_t>(VARNOCK_VERSION_NUMBER));
  EXPECT_STREQ(varnock_version_string(), VARNOCK_VERSION_STRING);
}

}  // namespace
}  // namespace varnock
