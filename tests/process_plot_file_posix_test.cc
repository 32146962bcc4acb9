// A job whose temporary file system fills: only a POSIX system here can mount a small one.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>

#include "base/error.h"
#include "config/app_paths.h"
#include "jobs/process_plot_file.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using testing::MakeZip;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

class JobPosixTest : public testing::InProcessServiceTest {
 protected:
  JobPosixTest() : InProcessServiceTest("Plotter2") {}

  void Process(const std::string& name) { ProcessPlotFile(name, printer_.string() + "/"); }
  bool TempIsEmpty() { return fs::is_empty(temp_); }
};

TEST_F(JobPosixTest, UnpackingWaitsForRoomButRefusesWhatCanNeverFit) {
  fs::create_directories(temp_);
  if (::mount("tmpfs", temp_.c_str(), "tmpfs", 0, "size=1024k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  }
  struct Unmount {
    const fs::path& path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{temp_};
  const std::string plot = std::string("II*\0", 4) + std::string(600 * 1024, '\0');
  MakeZip(printer_ / "job.zip", {{"plan.tif", plot}});
  const std::string archive = ReadWholeFile(printer_ / "job.zip");
  WriteWholeFile(temp_ / "filler", std::string(600 * 1024, 'f'));

  // Room is short now: the job stays as it is for a later tick, and nothing is left behind.
  EXPECT_THROW(Process("job.zip"), PassedToCaller);
  EXPECT_EQ(ReadWholeFile(printer_ / "job.zip"), archive);
  EXPECT_EQ(std::distance(fs::directory_iterator(temp_), {}), 1);
  fs::remove(temp_ / "filler");
  Process("job.zip");
  EXPECT_EQ(ReadWholeFile(printer_ / "job.zip"), plot);

  // Larger than the whole file system: refused with a line instead of waiting forever.
  MakeZip(printer_ / "job.zip", {{"plan.tif", plot + plot}});
  Process("job.zip");
  EXPECT_NE(Log().find("\terror\t61 Disk full (entry of 1228808 bytes can never fit"),
            std::string::npos)
      << Log();
  EXPECT_TRUE(TempIsEmpty());
}

}  // namespace
}  // namespace plotspool
