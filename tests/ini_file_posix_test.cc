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

TEST(IniFileTest, WriteKeepsModeLineEndingsAndTheRestOfTheFile) {
  TempDir dir;
  const std::string file = dir / "s.ini";
  const std::string before =
      "; edited by hand\r\n[Global]\r\nWartezeit=10\r\n\r\n; printers\r\n[P1]\r\nsPN_A4=162\r\n";
  testing::WriteWholeFile(file, before);
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(WriteIniString("Global", "Wartezeit", "3", file));
  ASSERT_TRUE(WriteIniString("Global", "ProgrammEnde", "0", file));
  EXPECT_EQ(testing::ReadWholeFile(file),
            "; edited by hand\r\n[Global]\r\nWartezeit=3\r\nProgrammEnde=0\r\n\r\n; printers\r\n"
            "[P1]\r\nsPN_A4=162\r\n");
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"s.ini"});
}

TEST(IniFileTest, SymbolicLinkIsWrittenThrough) {
  TempDir dir;
  testing::WriteWholeFile(dir / "real.ini", "[A]\nx=1\n");
  fs::create_symlink("real.ini", dir.path() / "link.ini");
  ASSERT_TRUE(WriteIniString("A", "x", "2", dir / "link.ini"));
  EXPECT_TRUE(fs::is_symlink(dir.path() / "link.ini"));
  EXPECT_EQ(testing::ReadWholeFile(dir / "real.ini"), "[A]\nx=2\n");
}

}  // namespace
}  // namespace plotspool::platform
