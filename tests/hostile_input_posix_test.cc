// Hostile input dropped into the transfer tree: odd names, links in every place a link can be
// (swapped in between two steps, planted as a hard link, standing in for a printer directory
// during a tick, named by a ZIP member). Nothing outside the transfer tree, the temporary
// directory and the output folder is ever read, written or removed on behalf of a dropped file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>

#include "base/error.h"
#include "config/app_paths.h"
#include "config/printer_profile.h"
#include "config/service_settings.h"
#include "imaging/host_form.h"
#include "imaging/imaging_control.h"
#include "intake/scan_directory.h"
#include "intake/take_over.h"
#include "jobs/extract_zip.h"
#include "platform/files.h"
#include "platform/raw_file.h"
#include "sample_plot.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

using testing::MakePlot;

// Every entry below `dir` with its kind, content, mode and modification time, so that any read
// that changes access times aside, any change at all shows.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    struct stat st {};
    ::lstat(entry.path().c_str(), &st);
    std::string state = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_nlink);
    if (S_ISREG(st.st_mode))
      state += " " + std::to_string(std::hash<std::string>{}(ReadWholeFile(entry.path())));
    entries[fs::relative(entry.path(), dir).string()] = state;
  }
  return entries;
}

class HostileInputTest : public testing::InProcessServiceTest {
 protected:
  void SetUp() override {
    InProcessServiceTest::SetUp();
    fs::create_directories(outside_);
    // Stands in for /etc: a plot-like secret a hostile sender would like printed or copied out.
    MakePlot(outside_ / "secret.tif");
    WriteWholeFile(outside_ / "passwd", "root:x:0:0\n");
    // Read-only, so that a mode change made through a link would show in the snapshot.
    for (const char* name : {"secret.tif", "passwd"})
      fs::permissions(outside_ / name, fs::perms(0444));
    before_ = Snapshot(outside_);
  }
  void TearDown() override {
    InProcessServiceTest::TearDown();
    EXPECT_EQ(Snapshot(outside_), before_) << "the outside directory changed";
  }

  // A profile that copies every job out and hands it to a program that records its argument.
  void CopyAndHandOffProfile() {
    const fs::path app = dir_.path() / "record.sh";
    testing::WriteScript(app, "printf '%s\\n' \"$1\" >> '" + handed_.string() + "'\n");
    WriteWholeFile(
        IniFile, "[P1]\nsApplication=" + app.string() + "\nsOutputFolder=" + out_.string() + "\n");
  }
  void Walk() {
    std::string root = root_.string();
    ScanDirectory(root, "*", true);
  }
  std::string Handed() { return fs::exists(handed_) ? ReadWholeFile(handed_) : ""; }

  fs::path outside_ = dir_.path() / "etc";
  fs::path handed_ = dir_.path() / "handed.txt";
  std::map<std::string, std::string> before_;
};

TEST_F(HostileInputTest, ControlCharactersAndInvalidUtf8InNamesAreJustBytes) {
  CopyAndHandOffProfile();
  const std::vector<std::string> names = {"a\x01\x1b[2J\x7f.tif", "line\nbreak\ttab.tif",
                                          "\xff\xfe\xc3(.tif", "-rf .tif", "$(touch x).tif"};
  for (const std::string& name : names) MakePlot(printer_ / name);
  Walk();
  for (const std::string& name : names) {
    EXPECT_FALSE(fs::exists(printer_ / name)) << name;
    EXPECT_TRUE(fs::exists(out_ / name)) << name;
    EXPECT_NE(Handed().find((printer_ / name).string() + "\n"), std::string::npos) << name;
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "x"));
  EXPECT_FALSE(fs::exists(fs::current_path() / "x"));
}

TEST_F(HostileInputTest, FileSwappedForALinkAfterTheExistenceTestIsNeverOpened) {
  const fs::path job = printer_ / "plan.tif";
  MakePlot(job);
  ASSERT_TRUE(platform::NormalFileExists(job.string()));
  // The sender swaps the checked file for a link before the open.
  fs::remove(job);
  fs::create_symlink(outside_ / "secret.tif", job);

  EXPECT_NE(testing::ErrorNumberOf([&] { platform::TrialOpen(job.string()); }), 0);
  EXPECT_NE(testing::ErrorNumberOf([&] { platform::ReadFileStart(job.string(), 3); }), 0);
  EXPECT_NE(testing::ErrorNumberOf(
                [&] { platform::CopyFileReplacing(job.string(), (out_ / "x").string()); }),
            0);
  EXPECT_NE(testing::ErrorNumberOf([&] { platform::RawFile::OpenForReading(job.string()); }), 0);
  EXPECT_NE(testing::ErrorNumberOf([&] { frmSample().oleImgEdit1().Load(job.string()); }), 0);
  platform::ClearAttributes(job.string());  // leaves the read-only target as it is
  EXPECT_NE(testing::ErrorNumberOf([&] { ExtractZip(job.string()); }), 0);
  EXPECT_FALSE(fs::exists(out_ / "x"));
  EXPECT_TRUE(fs::is_empty(temp_));
  // The link itself may go; its target never does.
  platform::RemoveFile(job.string());
}

TEST_F(HostileInputTest, LinksInTheTreeNeverLeadOutOfIt) {
  CopyAndHandOffProfile();
  ServiceSettings.AdminLog = "1";  // admin copies would show a read of the outside file
  fs::create_symlink(outside_ / "secret.tif", printer_ / "soft.tif");
  fs::create_hard_link(outside_ / "secret.tif", printer_ / "hard.tif");
  fs::create_hard_link(outside_ / "passwd", printer_ / "passwd");
  fs::create_directory_symlink(outside_, printer_ / "sub");
  fs::create_directory_symlink(outside_, root_ / "P2");
  MakePlot(printer_ / "plan.tif");
  before_ = Snapshot(outside_);  // the hard links count as names of the outside files
  Walk();

  EXPECT_FALSE(fs::exists(printer_ / "plan.tif")) << "the real job is processed";
  EXPECT_TRUE(fs::exists(out_ / "plan.tif"));
  // A regular file with a second name elsewhere is not taken over: never read, never removed.
  EXPECT_TRUE(fs::exists(printer_ / "hard.tif"));
  EXPECT_TRUE(fs::exists(printer_ / "passwd"));
  EXPECT_TRUE(fs::is_symlink(printer_ / "soft.tif"));
  EXPECT_EQ(fs::directory_iterator(out_)->path().filename(), "plan.tif");
  EXPECT_EQ(std::distance(fs::directory_iterator(out_), {}), 1);
  EXPECT_EQ(Handed(), (printer_ / "plan.tif").string() + "\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(temp_), {}), 1) << "one admin copy";
  EXPECT_EQ(Log().find("hard.tif"), std::string::npos) << Log();
}

TEST_F(HostileInputTest, PrinterDirectorySwappedForALinkDuringATickLeadsNowhere) {
  // Every job's hand-off swaps its printer directory for a link to the outside directory, which
  // holds files of the same names: the rest of the tick must not touch them.
  const fs::path app = dir_.path() / "swap.sh";
  testing::WriteScript(app, "[ -L '" + printer_.string() + "' ] && exit 0\nmv '" +
                                printer_.string() + "' '" + root_.string() + "/.P1'\nln -s '" +
                                outside_.string() + "' '" + printer_.string() + "'\n");
  WriteWholeFile(IniFile,
                 "[P1]\nsApplication=" + app.string() + "\nsOutputFolder=" + out_.string() + "\n");
  for (const char* name : {"secret.tif", "passwd"}) MakePlot(printer_ / name);
  Walk();

  ASSERT_TRUE(fs::is_symlink(printer_)) << "the swap happened";
  // The job whose hand-off swapped the directory could not be finished: it is still there.
  EXPECT_EQ(std::distance(fs::directory_iterator(root_ / ".P1"), {}), 2);
  EXPECT_TRUE(!fs::exists(out_) || fs::is_empty(out_));
}

TEST_F(HostileInputTest, ZipMemberNamesNeverReachAnyOtherFile) {
  fs::create_symlink(outside_, temp_ / "lnk");
  fs::create_symlink(outside_ / "passwd", temp_ / "evil");
  const std::string member = "hostile member data";
  for (const char* name :
       {"/dev/null", "/dev/../etc/passwd", "../etc/passwd", "lnk/../../etc/passwd"}) {
    const fs::path job = printer_ / "set.zip";
    testing::MakeZip(job, {{name, member}});
    const std::string archive = ReadWholeFile(job);
    EXPECT_EQ(testing::ErrorNumberOf([&] { ExtractZip(job.string()); }), kPathFileAccessError)
        << name;
    EXPECT_EQ(ReadWholeFile(job), archive) << name;
  }
  // Names of files that lie in the temporary directory (a faulty file the take-over moved aside,
  // the links above) reach only the unpacking's own folder: those files stay as they are.
  const fs::path faulty = temp_ / "plotspool_Datenfehler in Datei plan.tif 20240506070809.txt";
  WriteWholeFile(faulty, "kept for the sender");
  for (const std::string& name :
       {faulty.filename().string(), std::string("evil"), std::string("lnk/passwd")}) {
    const fs::path job = printer_ / "set.zip";
    testing::MakeZip(job, {{name, member}});
    ExtractZip(job.string());
    EXPECT_EQ(ReadWholeFile(job), member) << name;
  }
  EXPECT_EQ(ReadWholeFile(faulty), "kept for the sender");
  EXPECT_EQ(std::distance(fs::directory_iterator(temp_), {}), 3)
      << "the two links, the faulty file";
  // The null device is untouched: it still swallows what is written and gives nothing back.
  struct stat st {};
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

}  // namespace
}  // namespace plotspool
