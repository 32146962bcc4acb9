#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "platform/ini_file.h"
#include "test_support.h"

namespace plotspool::platform {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(IniFileTest, WritesThatCannotBeDoneFailQuietly) {
  TempDir dir;
  testing::WriteWholeFile(dir / "plain", "not a directory");
  EXPECT_FALSE(WriteIniString("A", "x", "1", (dir / "plain") + "/s.ini"));  // ENOTDIR
  EXPECT_FALSE(WriteIniString("A", "x", "1", (dir / "missing") + "/s.ini"));
  EXPECT_FALSE(WriteIniString("A", "x", "1", ""));
  EXPECT_FALSE(WriteIniString("A", "x", "1", dir.path().string()));  // a directory
  EXPECT_EQ(ReadIniString("A", "x", dir.path().string()), "");

  const std::string file = dir / "s.ini";
  testing::WriteWholeFile(file, "[A]\nx=1\n");
  EXPECT_FALSE(WriteIniString("A", "x", "1\n[B]", file));
  EXPECT_EQ(testing::ReadWholeFile(file), "[A]\nx=1\n");

  // A FIFO must neither block a read nor be replaced by a write.
  const std::string fifo = dir / "fifo.ini";
  ASSERT_EQ(std::system(("mkfifo " + fifo).c_str()), 0);
  EXPECT_EQ(ReadIniString("A", "x", fifo), "");
  EXPECT_FALSE(WriteIniString("A", "x", "1", fifo));
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(dir.Names().size(), 3u);
}

TEST(IniFileTest, WriteOnReadOnlyMountFailsAndLeavesFileAlone) {
  TempDir dir;
  const fs::path mount_point = dir.path() / "ro";
  fs::create_directories(mount_point);
  testing::WriteWholeFile((mount_point / "s.ini").string(), "[A]\nx=1\n");
  // Populate a tmpfs, then remount it read-only.
  const std::string mount_rw = "mount -t tmpfs tmpfs " + mount_point.string() + " 2>/dev/null";
  if (std::system(mount_rw.c_str()) != 0) GTEST_SKIP() << "mount not permitted";
  const std::string file = (mount_point / "s.ini").string();
  testing::WriteWholeFile(file, "[A]\nx=1\n");
  const int remounted = std::system(("mount -o remount,ro " + mount_point.string()).c_str());
  if (remounted == 0) {
    EXPECT_EQ(ReadIniString("A", "x", file), "1");
    EXPECT_FALSE(WriteIniString("A", "x", "2", file));
    EXPECT_FALSE(WriteIniString("A", "y", "2", file));
    EXPECT_EQ(testing::ReadWholeFile(file), "[A]\nx=1\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(mount_point), fs::directory_iterator()), 1);
  }
  ASSERT_EQ(std::system(("umount " + mount_point.string()).c_str()), 0);
  if (remounted != 0) GTEST_SKIP() << "remount read-only not permitted";
}

}  // namespace
}  // namespace plotspool::platform
