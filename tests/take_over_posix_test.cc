// The take-over against what only a POSIX system produces: a writer process holding the file,
// a user without the lease capability, FIFOs and links in the transfer tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "config/app_paths.h"
#include "config/service_settings.h"
#include "intake/scan_directory.h"
#include "intake/take_over.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

class IntakePosixTest : public testing::InProcessServiceTest {};

TEST_F(IntakePosixTest, FileHeldOpenForWritingIsLeftForALaterTick) {
  const fs::path job = printer_ / "held.tif";
  WriteWholeFile(job, "data");
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t writer = fork();
  if (writer == 0) {
    const int fd = open(job.c_str(), O_WRONLY);
    [[maybe_unused]] ssize_t n = write(ready[1], "1", 1);
    pause();
    _exit(fd >= 0 ? 0 : 1);
  }
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  TakeOverFile(job.string());
  kill(writer, SIGKILL);
  waitpid(writer, nullptr, 0);

  EXPECT_TRUE(fs::exists(job));
  EXPECT_NE(
      Log().find("\terror\tEs ist ein Fehler aufgetreten 'Permission denied' '70' " + job.string()),
      std::string::npos)
      << Log();
  // Once the writer has gone, the next tick takes it.
  TakeOverFile(job.string());
  EXPECT_FALSE(fs::exists(job));
}

TEST_F(IntakePosixTest, WithoutTheLeaseTestLocksAndSizeStabilityStillDecide) {
  // A user who does not own the files and lacks the lease capability cannot take a lease: the
  // trial open then goes by write locks, and the size check by itself protects a transfer.
  const fs::path locked = printer_ / "locked.tif";
  const fs::path plain = printer_ / "plain.tif";
  WriteWholeFile(locked, std::string(1000, 'l'));
  WriteWholeFile(plain, std::string(1000, 'p'));
  for (const fs::path& dir : {dir_.path(), root_, printer_, temp_}) {
    fs::permissions(dir, fs::perms::all);
  }
  const int lock_fd = open(locked.c_str(), O_RDWR);
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(fcntl(lock_fd, F_SETLK, &lock), 0);

  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    TakeOverFile(locked.string());
    TakeOverFile(plain.string());
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  close(lock_fd);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::exists(locked));
  EXPECT_NE(Log().find("'Permission denied' '70' " + locked.string()), std::string::npos) << Log();
  EXPECT_FALSE(fs::exists(plain));
}

TEST_F(IntakePosixTest, HiddenFilesLinksAndSpecialFilesAreNeverTouched) {
  const fs::path outside = dir_.path() / "outside.tif";
  WriteWholeFile(outside, "precious");
  WriteWholeFile(printer_ / ".hidden.tif", "hidden");
  fs::create_symlink(outside, printer_ / "link.tif");
  fs::create_directory_symlink(dir_.path(), printer_ / "linkdir");
  ASSERT_EQ(mkfifo((printer_ / "fifo.tif").c_str(), 0644), 0);

  std::string root = root_.string();
  ScanDirectory(root, "*", true);

  EXPECT_EQ(ReadWholeFile(outside), "precious");
  EXPECT_EQ(ReadWholeFile(printer_ / ".hidden.tif"), "hidden");
  EXPECT_TRUE(fs::is_symlink(printer_ / "link.tif"));
  EXPECT_TRUE(fs::is_symlink(printer_ / "linkdir"));
  EXPECT_TRUE(fs::is_fifo(printer_ / "fifo.tif"));
  EXPECT_FALSE(fs::exists(LogFile));
}

// A directory the system watches tells of changes to itself, not of a file system mounted over
// it: what the mount brings in must still be found by the next walk.
TEST_F(IntakePosixTest, WalkFindsWhatAMountBringsIntoAnUnchangedDirectory) {
  using namespace std::chrono_literals;
  SetDirectorySettleTime(0ns);
  ServiceSettings.VollstaendigeSuche = "0";
  std::string root = root_.generic_string();
  auto walk = [&] { return testing::WalkAfterClockTick(root); };
  const fs::path mount_point = printer_ / "a";
  fs::create_directories(mount_point);
  walk();
  walk();
  EXPECT_EQ(walk(), 0);
  if (::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=1m") == 0) {
    WriteWholeFile(mount_point / "x.tif", "x");
    EXPECT_EQ(walk(), 1);
    EXPECT_TRUE(Logged((mount_point / "x.tif").generic_string())) << Log();
    ::umount2(mount_point.c_str(), MNT_DETACH);
  }
  SetDirectorySettleTime(kDirectorySettleTime);
  if (!Logged("x.tif")) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
}

}  // namespace
}  // namespace plotspool
