// Guards against an input file mapped wrongly: an empty file that is not an
// empty span, a wrong checksum, an error without its code, a handle kept open.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "common/Errors.h"
#include "io/FileMapping.h"
#include "io/FileStream.h"
#include "support/ErrorMatch.h"
#include "support/OsCodes.h"
#include "support/PatchBuilder.h"
#include "support/TempDir.h"

namespace varnock {
namespace {

using testing::Bytes;
using testing::RaisesError;

class FileMapping : public ::testing::Test {
 protected:
  testing::TempDir directory_;
};

std::string OSErrorMessage(int code) {
  return "System Error.  Code: " + std::to_string(code) + ".\r\n" +
         SystemErrorText(static_cast<std::uint32_t>(code));
}

std::uint32_t ErrorCodeOfOpening(const std::string& name) {
  try {
    TFileMappingAsByteArray mapping(name);
  } catch (const EOSError& error) {
    return error.ErrorCode();
  }
  return 0;
}

TEST_F(FileMapping, EmptyFileIsAnEmptySpanWithChecksumZero) {
  TFileMappingAsByteArray mapping(directory_.Write("empty", {}));
  EXPECT_EQ(mapping.Data(), nullptr);
  EXPECT_EQ(mapping.Size(), 0u);
  EXPECT_EQ(mapping.Checksum(), 0u);
}

TEST_F(FileMapping, HoldsTheContentsAndTheirChecksum) {
  TFileMappingAsByteArray mapping(directory_.Write("digits", testing::ToBytes("123456789")));
  ASSERT_EQ(mapping.Size(), 9u);
  EXPECT_EQ(Bytes(mapping.Data(), mapping.Data() + 9), testing::ToBytes("123456789"));
  EXPECT_EQ(mapping.Checksum(), 0xCBF43926u);
  EXPECT_EQ(mapping.Checksum(), 0xCBF43926u);
}

TEST_F(FileMapping, MissingFileIsAnOSErrorWithItsCode) {
  const std::string name = directory_.File("missing");
  EXPECT_TRUE(RaisesError<EOSError>([&] { TFileMappingAsByteArray mapping(name); },
                                    OSErrorMessage(testing::kCodeMissingFile)));
  EXPECT_EQ(OSErrorMessage(testing::kCodeMissingFile), "System Error.  Code: 2.\r\n" + SystemErrorText(2));
  EXPECT_NE(SystemErrorText(2), "");
  EXPECT_EQ(ErrorCodeOfOpening(name), testing::kCodeMissingFile);
}

TEST_F(FileMapping, DirectoryIsRefused) {
  const std::string name = directory_.Path().string();
  EXPECT_TRUE(RaisesError<EOSError>([&] { TFileMappingAsByteArray mapping(name); },
                                    OSErrorMessage(testing::kCodeDirectory)));
  EXPECT_EQ(ErrorCodeOfOpening(name), testing::kCodeDirectory);
}

// A file being written as a target is not an input until it is closed.
TEST_F(FileMapping, FileOpenAsATargetIsRefused) {
  const std::string name = directory_.Write("target", testing::ToBytes("abc"));
  {
    TFileStream stream(name, TFileStream::fmCreate);
    EXPECT_TRUE(RaisesError<EOSError>([&] { TFileMappingAsByteArray mapping(name); },
                                      OSErrorMessage(testing::kCodeInUse)));
  }
  EXPECT_NO_THROW(TFileMappingAsByteArray mapping(name));
}

// A length that has no 32-bit form is refused before mapping, and the file is
// let go: it can be created as a target at once.
TEST_F(FileMapping, FileOf4GiBIsRefusedAndReleased) {
  const std::string name = directory_.Write("huge", {1, 2, 3});
  std::error_code error;
  std::filesystem::resize_file(name, std::uint64_t{1} << 32, error);
  if (error) GTEST_SKIP() << "no sparse file of 4 GiB could be made here";
  EXPECT_TRUE(RaisesError<EOSError>([&] { TFileMappingAsByteArray mapping(name); },
                                    OSErrorMessage(testing::kCodeFileTooLarge)));
  EXPECT_NO_THROW(TFileStream(name, TFileStream::fmCreate));
  EXPECT_EQ(std::filesystem::file_size(name), 0u);
}

// Where standard input is closed, the first file opened may get descriptor 0;
// it must be let go like any other, or it stays locked as an input.
TEST_F(FileMapping, ReleasesAFileOnDescriptorZero) {
  const std::string name = directory_.Write("input", testing::ToBytes("abc"));
  EXPECT_EXIT(
      {
        std::fclose(stdin);
        { TFileMappingAsByteArray mapping(name); }
        TFileStream stream(name, TFileStream::fmCreate);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace varnock
