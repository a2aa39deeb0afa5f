// Guards against a platform file that breaks platform.h's promises: inputs emptied as targets, lost codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/platform.h"

namespace varnock::platform {
namespace {

namespace fs = std::filesystem;

class Platform : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("varnock-platform-" + std::to_string(std::random_device()()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  std::string Write(const std::string& name, const std::string& contents) const {
    std::ofstream(Path(name), std::ios::binary) << contents;
    return Path(name);
  }

  std::string Read(const std::string& name) const {
    std::ifstream file(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

 private:
  fs::path dir_;
};

TEST_F(Platform, InputIsMappedWhole) {
  const std::string contents = "mapped contents\r\n";
  Handle file = OpenInputFile(Write("input", contents));
  ASSERT_NE(file, kInvalidHandle);
  std::uint32_t size = 0;
  ASSERT_TRUE(QueryFileSize(file, &size));
  ASSERT_EQ(size, contents.size());
  Handle mapping = CreateReadOnlyMapping(file);
  ASSERT_NE(mapping, kNoMapping);
  const std::uint8_t* view = MapReadOnlyView(file, mapping, size);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(view), size), contents);
  UnmapView(view, size);
  CloseMapping(mapping);
  CloseFile(file);
}

TEST_F(Platform, MissingInputFailsWithTheOsCode) {
  EXPECT_EQ(OpenInputFile(Path("missing")), kInvalidHandle);
  std::uint32_t code = LastErrorCode();
  EXPECT_EQ(code, 2u) << "a missing file is code 2 on Windows and on POSIX systems alike";
  EXPECT_NE(ErrorMessageText(code), "");
}

TEST_F(Platform, CodeWithoutTextHasEmptyText) {
  // Not an errno value, and a code the system reserves for applications.
  EXPECT_EQ(ErrorMessageText(0x2000FFFF), "");
}

TEST_F(Platform, InputsShareAFileButTheTargetMayNotBeOne) {
  const std::string name = Write("shared", "keep me");
  Handle first = OpenInputFile(name);
  Handle second = OpenInputFile(name);
  ASSERT_NE(first, kInvalidHandle);
  ASSERT_NE(second, kInvalidHandle);
  for (Handle open : {first, second}) {
    EXPECT_EQ(CreateTargetFile(name), kInvalidHandle);
    EXPECT_NE(LastErrorCode(), 0u);
    EXPECT_EQ(Read("shared"), "keep me");
    CloseFile(open);
  }
  Handle target = CreateTargetFile(name);
  ASSERT_NE(target, kInvalidHandle) << "closed inputs no longer hold the file";
  CloseFile(target);
  EXPECT_EQ(Read("shared"), "");
}

TEST_F(Platform, TargetIsEmptiedThenWrittenWhole) {
  Handle target = CreateTargetFile(Write("target", std::string(1000, 'x')));
  ASSERT_NE(target, kInvalidHandle);
  EXPECT_EQ(fs::file_size(Path("target")), 0u) << "emptied on creation, before anything is written";
  std::uint32_t written = 0;
  EXPECT_TRUE(WriteFile(target, "new\r\n", 5, &written));
  EXPECT_EQ(written, 5u);
  CloseFile(target);
  EXPECT_EQ(Read("target"), "new\r\n");
}

TEST_F(Platform, FullPathNameResolvesAgainstTheCurrentDirectory) {
  std::string full = FullPathName("no-such-directory/no-such-file");
  EXPECT_TRUE(fs::path(full).is_absolute()) << full;
  EXPECT_EQ(fs::path(full).filename(), "no-such-file");
  EXPECT_EQ(fs::path(full).parent_path().filename(), "no-such-directory");
  EXPECT_EQ(FullPathName(""), "") << "a name without an absolute form is shown as given";
}

}  // namespace
}  // namespace varnock::platform
