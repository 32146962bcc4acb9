// Faults of the machine around the service, each made for real: a file system that is full or
// read-only (a small tmpfs mounted in the test directory), a log that cannot be written, a print
// server that goes away in the middle of a stream of jobs, an external program that crashes or
// never ends. Whatever happens, the service carries on, says what went wrong, and every job is
// either finished or still in the transfer tree.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

#include "config/app_paths.h"
#include "config/printer_profile.h"
#include "cups_rig.h"
#include "imaging/host_form.h"
#include "intake/take_over.h"
#include "jobs/job_output.h"
#include "sample_plot.h"
#include "service/global_settings.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::CupsRig;
using testing::ReadWholeFile;
using testing::WaitFor;
using testing::WriteWholeFile;

// A tmpfs of `size_kib` mounted over `path` for the lifetime of the object.
class SmallFileSystem {
 public:
  SmallFileSystem(const fs::path& path, int size_kib) : path_(path) {
    fs::create_directories(path);
    const std::string options = "size=" + std::to_string(size_kib) + "k,mode=0755";
    mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool mounted() const { return mounted_; }
  void ReadOnly(bool read_only) {
    const unsigned long flags = MS_REMOUNT | (read_only ? MS_RDONLY : 0);
    ASSERT_EQ(::mount("tmpfs", path_.c_str(), "tmpfs", flags, nullptr), 0) << errno;
  }
  // Writes a file until the file system refuses another byte.
  void Fill() {
    const int fd = ::open((path_ / "filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(errno, ENOSPC);
    ::write(fd, block.data(), 1);  // the last partial block
    ::close(fd);
  }
  void Empty() { fs::remove(path_ / "filler"); }

 private:
  fs::path path_;
  bool mounted_ = false;
};

#define REQUIRE_MOUNTED(fsys) \
  if (!(fsys).mounted()) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)"

using testing::MakePlot;

class FaultTest : public testing::InProcessServiceTest {
 protected:
  // A hand-off program that counts its runs.
  fs::path CountingProgram() {
    return testing::WriteScript(dir_.path() / "count.sh",
                                "echo run >> '" + (dir_.path() / "runs").string() + "'\n");
  }
  int Runs() {
    const std::string runs =
        fs::exists(dir_.path() / "runs") ? ReadWholeFile(dir_.path() / "runs") : "";
    return static_cast<int>(std::count(runs.begin(), runs.end(), '\n'));
  }
  // The take-over's line for a failure that leaves the file for a later tick.
  bool LoggedAsLeftInPlace(const fs::path& job) {
    return std::regex_search(Log(), std::regex("\terror\tEs ist ein Fehler aufgetreten '[^']+' "
                                               "'[0-9]+' " +
                                               job.string() + "\r\n"));
  }
};

TEST_F(FaultTest, FullTemporaryDirectoryKeepsEveryJobUntilThereIsRoomAgain) {
  SmallFileSystem temp(temp_, 256);
  REQUIRE_MOUNTED(temp);
  CupsRig rig;
  rig.AddCaptureQueue("Plotter", "Large Format");
  Section("sPrinterName=Plotter\nsOutputFolder=" + out_.string() + "\n");
  const fs::path tiff_job = printer_ / "plan.tif";
  const fs::path zip_job = printer_ / "set.zip";
  MakePlot(tiff_job);
  MakePlot(dir_.path() / "member.tif");
  testing::MakeZip(zip_job, {{"member.tif", ReadWholeFile(dir_.path() / "member.tif")}});
  temp.Fill();

  // No room to unpack, no room for the print bitmap: both jobs wait, and the log says why.
  TakeOverFile(zip_job.string());
  TakeOverFile(tiff_job.string());
  EXPECT_TRUE(fs::exists(zip_job));
  EXPECT_TRUE(fs::exists(tiff_job));
  EXPECT_NE(Log().find("'61' " + zip_job.string()), std::string::npos) << Log();
  EXPECT_NE(Log().find("'61' " + tiff_job.string()), std::string::npos) << Log();
  EXPECT_TRUE(rig.CapturedJobs("Plotter").empty());
  EXPECT_FALSE(fs::exists(out_ / "plan.tif"));

  temp.Empty();
  TakeOverFile(zip_job.string());
  TakeOverFile(tiff_job.string());
  EXPECT_FALSE(fs::exists(zip_job));
  EXPECT_FALSE(fs::exists(tiff_job));
  EXPECT_EQ(rig.WaitForJobs("Plotter", 2).size(), 2u);
  EXPECT_TRUE(fs::exists(out_ / "plan.tif"));
  EXPECT_TRUE(fs::exists(out_ / "set.zip"));
  EXPECT_TRUE(fs::is_empty(temp_)) << "no temporary file left behind";
}

// No room beside the job: the turn cannot be saved, and the job waits, untouched, with a line
// a minute, not one a round.
TEST_F(FaultTest, FullPrinterDirectoryLeavesATurnedJobUntouchedUntilThereIsRoom) {
  SmallFileSystem spool(printer_, 256);
  REQUIRE_MOUNTED(spool);
  Section("sOrientationA4=H\nsOutputFolder=" + out_.string() + "\n");
  const fs::path job = printer_ / "plan.tif";
  MakePlot(job, "A4", /*landscape=*/true);
  const std::string delivered = ReadWholeFile(job);
  spool.Fill();
  TakeOverFile(job.string());
  TakeOverFile(job.string());
  EXPECT_TRUE(ReadWholeFile(job) == delivered) << "the job file changed";
  const std::string line = "Es ist ein Fehler aufgetreten 'Disk full' '61' " + job.string();
  ASSERT_NE(Log().find(line), std::string::npos) << Log();
  EXPECT_EQ(Log().find(line), Log().rfind(line));

  spool.Empty();
  TakeOverFile(job.string());
  EXPECT_FALSE(fs::exists(job));
  EXPECT_FALSE(ReadWholeFile(out_ / "plan.tif") == delivered) << "copied without the turn";
}

TEST_F(FaultTest, UnwritableLogNeitherLosesNorRepeatsAJob) {
  CupsRig rig;
  rig.AddCaptureQueue("Plotter", "Large Format");
  Section("sPrinterName=Plotter\n");
  LogFile = (dir_.path() / "missing" / "plotspool.log").string();
  const fs::path job = printer_ / "plan.tif";
  MakePlot(job);

  ::testing::internal::CaptureStderr();
  TakeOverFile(job.string());
  TakeOverFile(job.string());
  const std::string reported = ::testing::internal::GetCapturedStderr();
  // The line that could not be written goes to standard error (the journal of a service).
  EXPECT_NE(reported.find("\tinfo\tPrint plan.tif on Plotter"), std::string::npos) << reported;
  EXPECT_FALSE(fs::exists(job));
  EXPECT_EQ(rig.WaitForJobs("Plotter", 1).size(), 1u);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(rig.CapturedJobs("Plotter").size(), 1u) << "printed exactly once";
}

TEST_F(FaultTest, ReadOnlySettingsAreReadAndTheirMissingKeysUsedAsDefaults) {
  SmallFileSystem settings(dir_.path() / "etc", 64);
  REQUIRE_MOUNTED(settings);
  IniFile = (dir_.path() / "etc" / "plotspool.ini").string();
  // [Global] lacks AdminLog, and P1 has only its output folder: the defaults cannot be written.
  const std::string content =
      "[Global]\nWartezeit=0\nUebergabePfad=" + (dir_.path() / "root").string() +
      "/\n[P1]\nsOutputFolder=" + out_.string() + "\n";
  WriteWholeFile(IniFile, content);
  settings.ReadOnly(true);
  const fs::path job = printer_ / "plan.tif";
  MakePlot(job);

  ReadGlobalSettings();
  EXPECT_EQ(ServiceSettings.Wartezeit, "0");
  EXPECT_EQ(ServiceSettings.AdminLog, "0");
  TakeOverFile(job.string());
  EXPECT_FALSE(fs::exists(job));
  EXPECT_TRUE(fs::exists(out_ / "plan.tif"));
  EXPECT_EQ(ReadWholeFile(IniFile), content);
}

TEST_F(FaultTest, ReadOnlyOrMissingOutputFolderNeverLosesACopyOnlyJob) {
  SmallFileSystem out(out_, 2048);
  REQUIRE_MOUNTED(out);
  Section("sApplication=" + CountingProgram().string() + "\nsOutputFolder=" + out_.string() +
          "/sub\n");
  const fs::path job = printer_ / "plan.tif";
  MakePlot(job);
  out.ReadOnly(true);

  TakeOverFile(job.string());
  TakeOverFile(job.string());
  EXPECT_TRUE(fs::exists(job)) << "the copy is the job's only output";
  EXPECT_TRUE(LoggedAsLeftInPlace(job)) << Log();
  EXPECT_EQ(Runs(), 1) << "the retry handed the job off again";

  // Writable again, the missing folder is made and the job copied.
  out.ReadOnly(false);
  TakeOverFile(job.string());
  EXPECT_FALSE(fs::exists(job));
  EXPECT_TRUE(fs::exists(out_ / "sub" / "plan.tif"));
  EXPECT_TRUE(Logged("\tinfo\tCopy plan.tif on " + out_.string() + "/sub/\r\n")) << Log();
  EXPECT_EQ(Runs(), 1);
}

// A job whose file cannot be removed is output once and then left alone; a file replaced while
// it is processed is never removed, and its new version becomes a job of its own.
TEST_F(FaultTest, KeptOrReplacedJobIsNeverOutputTwice) {
  SmallFileSystem spool(printer_, 2048);
  REQUIRE_MOUNTED(spool);
  Section("sApplication=" + CountingProgram().string() + "\nsOutputFolder=" + out_.string() + "\n");
  const fs::path job = printer_ / "plan.tif";
  MakePlot(job);
  spool.ReadOnly(true);
  for (int round = 0; round < 3; ++round) TakeOverFile(job.string());
  EXPECT_TRUE(fs::exists(job));
  EXPECT_EQ(Runs(), 1);
  EXPECT_TRUE(LoggedAsLeftInPlace(job)) << Log();
  const std::string once = Log();
  EXPECT_EQ(once.find("Es ist ein Fehler"), once.rfind("Es ist ein Fehler")) << once;
  // Once it can be removed, it is, quietly and without a second output.
  spool.ReadOnly(false);
  TakeOverFile(job.string());
  EXPECT_FALSE(fs::exists(job));
  EXPECT_EQ(Runs(), 1);
  EXPECT_EQ(Log(), once);
  fs::remove(out_ / "plan.tif");

  // The sender writes a new version while the program runs on the old one.
  const fs::path next = dir_.path() / "next.tif";
  MakePlot(next, "A3");
  const fs::path replacer = testing::WriteScript(
      dir_.path() / "replace.sh",
      "echo run >> '" + (dir_.path() / "runs").string() + "'\n" + "[ -e '" + next.string() +
          "' ] && cp '" + next.string() + "' '" + job.string() + ".part' && mv '" + job.string() +
          ".part' '" + job.string() + "' && rm '" + next.string() + "'\nexit 0\n");
  Section("sApplication=" + replacer.string() + "\nsOutputFolder=" + out_.string() + "\n");
  MakePlot(job);
  TakeOverFile(job.string());
  ASSERT_TRUE(fs::exists(job)) << "the new version was removed unprocessed";
  EXPECT_FALSE(fs::exists(out_ / "plan.tif")) << "a copy of the version being replaced";
  const std::string new_version = ReadWholeFile(job);
  TakeOverFile(job.string());
  EXPECT_FALSE(fs::exists(job));
  EXPECT_EQ(ReadWholeFile(out_ / "plan.tif"), new_version);
  EXPECT_EQ(Runs(), 3);
}

TEST_F(FaultTest, CrashingOrNeverEndingProgramDoesNotStopTheJob) {
  Section(
      "sApplication=" + testing::WriteScript(dir_.path() / "crash.sh", "kill -SEGV $$\n").string() +
      "\nsOutputFolder=" + out_.string() + "\n");
  const fs::path job = printer_ / "plan.tif";
  MakePlot(job);
  TakeOverFile(job.string());
  EXPECT_FALSE(fs::exists(job));
  EXPECT_TRUE(fs::exists(out_ / "plan.tif"));
  EXPECT_TRUE(Logged("\tinfo\tCopy plan.tif on " + (dir_.path() / "crash.sh").string()));

  // A program that never ends, and leaves a child of its own behind, is stopped with it.
  HandOffTimeoutSeconds = 1;
  const fs::path pid_file = dir_.path() / "child.pid";
  const fs::path never = testing::WriteScript(
      dir_.path() / "never.sh", "sleep 60 &\necho $! > '" + pid_file.string() + "'\nwait\n");
  Section("sApplication=" + never.string() + "\nsOutputFolder=" + out_.string() + "\n");
  fs::remove(out_ / "plan.tif");
  MakePlot(job);
  TakeOverFile(job.string());
  EXPECT_FALSE(fs::exists(job));
  EXPECT_TRUE(fs::exists(out_ / "plan.tif"));
  EXPECT_TRUE(Logged("\terror\t0 plan.tif on " + never.string() + "\r\n")) << Log();
  const pid_t child = std::stoi(ReadWholeFile(pid_file));
  EXPECT_TRUE(WaitFor([&] { return ::kill(child, 0) != 0; }, 2s)) << "child still running";
}

// The real executable with a print server that stops and comes back while jobs keep arriving.
TEST(ServiceFaultTest, PrintServerRestartInAStreamOfJobsPrintsEveryJobOnce) {
  testing::TempDir dir;
  CupsRig rig;
  rig.AddCaptureQueue("Plotter", "Large Format");
  const fs::path root = dir.path() / "root";
  const fs::path printer = root / "P1";
  fs::create_directories(printer);
  fs::create_directories(dir.path() / "tmp");
  testing::ServiceUnderTest service(
      dir.path(), {"CUPS_SERVER=" + rig.address(), "TMPDIR=" + (dir.path() / "tmp").string()});
  WriteWholeFile(service.ini(),
                 "[Global]\nWartezeit=0\nAdminLog=0\nUebergabePfad=" + root.string() +
                     "/\nProgrammEnde=0\n[P1]\nsPrinterName=Plotter\n");
  auto drop = [&](const std::string& name) {
    MakePlot(dir.path() / name);
    fs::rename(dir.path() / name, printer / name);
  };
  ASSERT_GT(service.Start(), 0);

  drop("job1.tif");
  ASSERT_EQ(rig.WaitForJobs("Plotter", 1).size(), 1u);
  rig.Halt();
  drop("job2.tif");
  drop("job3.tif");
  ASSERT_TRUE(
      WaitFor([&] { return ReadWholeFile(service.log()).find("'482'") != std::string::npos; }, 10s))
      << ReadWholeFile(service.log());
  EXPECT_TRUE(fs::exists(printer / "job2.tif") || fs::exists(printer / "job3.tif"));
  rig.Restart();
  drop("job4.tif");

  const auto jobs = rig.WaitForJobs("Plotter", 4, 30s);
  ASSERT_TRUE(WaitFor([&] { return fs::is_empty(printer); }, 15s));
  EXPECT_TRUE(service.Running());
  std::this_thread::sleep_for(1s);
  std::multiset<std::string> titles;
  for (const auto& job : rig.CapturedJobs("Plotter")) titles.insert(job.title);
  EXPECT_EQ(titles, (std::multiset<std::string>{"job1.tif", "job2.tif", "job3.tif", "job4.tif"}));
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(5s), 0);
}

}  // namespace
}  // namespace plotspool
