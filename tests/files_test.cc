#include "platform/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "base/error.h"
#include "platform/directory_enumeration.h"
#include "platform/raw_file.h"
#include "platform/temporary_files.h"

#include "test_support.h"

namespace plotspool::platform {
namespace {

namespace fs = std::filesystem;

using testing::ErrorNumberOf;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

class FilesTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_ + name; }

  testing::TempDir temp_;
  const std::string dir_ = temp_.str() + "/";
};

TEST_F(FilesTest, MoveRefusesAnExistingTarget) {
  WriteWholeFile(Path("a"), "first");
  WriteWholeFile(Path("b"), "second");
  EXPECT_EQ(ErrorNumberOf([&] { MovePath(Path("a"), Path("b")); }), kFileAlreadyExists);
  EXPECT_EQ(ReadWholeFile(Path("a")), "first");
  EXPECT_EQ(ReadWholeFile(Path("b")), "second");
  MovePath(Path("a"), Path("c"));
  EXPECT_FALSE(PathExists(Path("a")));
  EXPECT_EQ(ReadWholeFile(Path("c")), "first");
  EXPECT_EQ(ErrorNumberOf([&] { MovePath(Path("missing"), Path("d")); }), kFileNotFound);
}

TEST_F(FilesTest, TempFileNamesAreNewAndFollowThePattern) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string path = CreateTempFileName(dir_, "~VB");
    EXPECT_TRUE(seen.insert(path).second) << path;
    const std::string name = path.substr(dir_.size());
    ASSERT_EQ(name.size(), 11u) << name;
    EXPECT_EQ(name.substr(0, 3), "~VB");
    EXPECT_EQ(name.substr(7), ".tmp");
    EXPECT_EQ(name.substr(3, 4).find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(FileSize(path), 0);
  }
  // Without the trailing "/" and with an empty prefix.
  const std::string bare = CreateTempFileName(dir_.substr(0, dir_.size() - 1), "");
  EXPECT_EQ(bare.size(), dir_.size() + 8);
  EXPECT_EQ(ErrorNumberOf([&] { CreateTempFileName(Path("missing"), "~VB"); }), kFileNotFound);
}

TEST_F(FilesTest, MakeSureDirectoryPathExists) {
  EXPECT_TRUE(MakeSureDirectoryPathExists(Path("a/b/c")));
  EXPECT_TRUE(fs::is_directory(Path("a/b")));
  EXPECT_FALSE(fs::exists(Path("a/b/c")));
  EXPECT_TRUE(MakeSureDirectoryPathExists(Path("a//b/c/")));
  EXPECT_TRUE(fs::is_directory(Path("a/b/c")));
  WriteWholeFile(Path("file"), "x");
  EXPECT_FALSE(MakeSureDirectoryPathExists(Path("file/sub/")));
}

TEST(FilesMiscTest, ExecutableAndClockAndSpace) {
  EXPECT_EQ(fs::path(ExecutablePath()).stem(), "plotspool_tests");
  const std::string stamp = LocalTimeStamp14();
  ASSERT_EQ(stamp.size(), 14u);
  EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(stamp.substr(0, 2), "20");
  EXPECT_GT(FreeSpace(fs::temp_directory_path().string()), 0u);
  EXPECT_EQ(ErrorNumberOf([] { FreeSpace("/no/such/dir"); }), kFileNotFound);
}

}  // namespace
}  // namespace plotspool::platform
