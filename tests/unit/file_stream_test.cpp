// Guards against a target writer that leaves old bytes in the target, loses a
// short write, or truncates a file that is open as an input of the run.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <tuple>

#include "common/Errors.h"
#include "io/FileMapping.h"
#include "io/FileStream.h"
#include "support/ErrorMatch.h"
#include "support/OsCodes.h"
#include "support/PatchBuilder.h"
#include "support/TempDir.h"

namespace varnock {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::RaisesError;
using testing::TempDir;

// A stream whose raw write reports what the test chooses, and counts calls.
class ScriptedStream : public TStream {
 public:
  explicit ScriptedStream(std::function<std::int32_t(std::int32_t)> written) : written_(std::move(written)) {}
  int calls = 0;

 protected:
  std::int32_t RawWrite(const void*, std::int32_t count) override {
    ++calls;
    return written_(count);
  }

 private:
  std::function<std::int32_t(std::int32_t)> written_;
};

TEST(TStream, RunOfZeroBytesReachesNoRawWrite) {
  ScriptedStream stream([](std::int32_t) { return -1; });
  const std::uint8_t byte = 0;
  EXPECT_NO_THROW(stream.WriteRun(&byte, 0));
  EXPECT_NO_THROW(stream.WriteRun(nullptr, 0));
  EXPECT_EQ(stream.calls, 0);
}

TEST(TStream, ShortWriteIsAWriteError) {
  const Bytes run(10, 0x42);
  const std::vector<std::function<std::int32_t(std::int32_t)>> short_writes = {
      [](std::int32_t count) { return count - 1; },
      [](std::int32_t) { return 0; },
      [](std::int32_t) { return 1; },
  };
  for (const auto& written : short_writes) {
    ScriptedStream stream(written);
    EXPECT_TRUE(RaisesError<EWriteError>([&] { stream.WriteRun(run.data(), 10); }, "Stream write error"));
    EXPECT_EQ(stream.calls, 1) << "a short write is neither continued nor retried";
  }
  ScriptedStream whole([](std::int32_t count) { return count; });
  EXPECT_NO_THROW(whole.WriteRun(run.data(), 10));
  EXPECT_EQ(whole.calls, 1);
}

class FileStream : public ::testing::Test {
 protected:
  void TearDown() override {
    if (!original_directory_.empty()) fs::current_path(original_directory_);
  }
  void EnterDirectory(const fs::path& path) {
    original_directory_ = fs::current_path();
    fs::current_path(path);
  }

  std::string CreationMessage(const fs::path& absolute_name, int code) {
    return "Cannot create file \"" + absolute_name.string() + "\". " +
           SystemErrorText(static_cast<std::uint32_t>(code));
  }

  TempDir directory_;
  fs::path original_directory_;
};

TEST_F(FileStream, TruncatesAnExistingFileAtOnce) {
  const std::string name = directory_.Write("target", testing::ToBytes("old contents"));
  {
    TFileStream stream(name, TFileStream::fmCreate);
    EXPECT_EQ(fs::file_size(name), 0u);
  }
  EXPECT_EQ(fs::file_size(name), 0u);
}

TEST_F(FileStream, WritesRunsFrontToBack) {
  const std::string name =
      directory_.Write("target", testing::ToBytes("a longer old content than the new one"));
  {
    TFileStream stream(name, TFileStream::fmCreate);
    stream.WriteRun("new ", 4);
    stream.WriteRun("", 0);
    stream.WriteRun("bytes", 5);
  }
  EXPECT_EQ(TempDir::Read(name), testing::ToBytes("new bytes"));
}

// While a file is open as an input, no spelling of its name may be created as
// the target, and the file keeps its contents; once closed, it may.
TEST_F(FileStream, RefusesAFileOpenAsAnInput) {
  const Bytes contents = testing::ToBytes("input contents");
  const std::string input = directory_.Write("input", contents);
  fs::create_directory(directory_.Path() / "sub");
  fs::create_hard_link(input, directory_.File("hard link"));
  EnterDirectory(directory_.Path());

  std::vector<std::pair<std::string, fs::path>> spellings = {
      {input, input},
      {"input", directory_.Path() / "input"},
      {"./sub/../input", directory_.Path() / "input"},
      {directory_.File("sub") + "/../input", directory_.Path() / "input"},
      {"hard link", directory_.Path() / "hard link"},
  };
  // Windows lets only privileged users make symbolic links.
  std::error_code no_symlink;
  fs::create_symlink(input, directory_.File("symbolic link"), no_symlink);
  if (!no_symlink) spellings.emplace_back("symbolic link", directory_.Path() / "symbolic link");
  for (const auto& [spelling, absolute_name] : spellings) {
    SCOPED_TRACE(spelling);
    {
      TFileMappingAsByteArray mapping(input);
      std::string message;
      try {
        TFileStream stream(spelling, TFileStream::fmCreate);
        ADD_FAILURE() << "created";
      } catch (const EFCreateError& error) {
        message = error.Message();
      }
      const std::string expected_start = "Cannot create file \"" + absolute_name.string() + "\". ";
      EXPECT_EQ(message.substr(0, expected_start.size()), expected_start);
      EXPECT_GT(message.size(), expected_start.size()) << "the system's reason is missing";
      EXPECT_EQ(Bytes(mapping.Data(), mapping.Data() + mapping.Size()), contents);
    }
    EXPECT_EQ(TempDir::Read(input), contents);
  }
  EXPECT_NO_THROW(TFileStream("hard link", TFileStream::fmCreate));
  EXPECT_EQ(fs::file_size(input), 0u);
}

// The message names the file by its absolute, normalised name, whether or not
// it exists, and gives the system's reason.
TEST_F(FileStream, RefusalShowsTheAbsoluteNameAndTheReason) {
  fs::create_directory(directory_.Path() / "sub");
  EnterDirectory(directory_.Path());
  const std::tuple<std::string, fs::path, int> cases[] = {
      {"no such directory/target", directory_.Path() / "no such directory" / "target",
       testing::kCodeMissingPath},
      {"sub/../gone/target", directory_.Path() / "gone" / "target", testing::kCodeMissingPath},
      {"sub", directory_.Path() / "sub", testing::kCodeDirectory},
  };
  for (const auto& [name, absolute_name, code] : cases) {
    const std::string target = name;
    EXPECT_TRUE(RaisesError<EFCreateError>([&] { TFileStream(target, TFileStream::fmCreate); },
                                           CreationMessage(absolute_name, code)));
  }
  EXPECT_EQ(CreationMessage("/x", 2), "Cannot create file \"/x\". " + SystemErrorText(2));
  EXPECT_NE(SystemErrorText(2), "");
  EXPECT_FALSE(fs::exists(directory_.Path() / "no such directory"));
}

}  // namespace
}  // namespace varnock
