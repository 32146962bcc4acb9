// The journal of completed outputs read back as a restarted service would: what it says must be
// exactly what was recorded, a crash's torn last line must not count, and a damaged journal must
// neither stop the service nor be trusted.
#include "jobs/job_journal.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "config/app_paths.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

constexpr FileIdentity kJob{1, 2, 3, 4};
constexpr FileIdentity kTurned{5, 6, 7, 8};

TEST(JobJournalTest, ReadsBackWhatWasRecordedAndDistrustsDamage) {
  struct Case {
    const char* name;
    std::string text;
    bool handoff, print, copy;    // completed for kJob
    bool turned_handoff = false;  // completed for kTurned
    bool set_aside = false;
  } cases[] = {
      {"torn last line", "1 2 3 4 done:handoff\n1 2 3 4 done:pr", true, false, false},
      {"followed", "1 2 3 4 done:handoff\n1 2 3 4 follow 5 6 7 8\n", false, false, false, true},
      {"ended", "1 2 3 4 done:copy\n1 2 3 4 end\n", false, false, false},
      {"damaged", "1 2 3 4 done:copy\nnot a journal line\n", false, false, false, false, true},
      {"unknown step", "1 2 3 4 done:fax\n", false, false, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    LogFile = (dir.path() / "plotspool.log").string();
    const fs::path path = dir.path() / "plotspool.journal";
    WriteWholeFile(path, c.text);
    JobJournal journal(path.string());
    EXPECT_EQ(journal.Completed(kJob, OutputStep::kHandOff), c.handoff);
    EXPECT_EQ(journal.Completed(kJob, OutputStep::kPrint), c.print);
    EXPECT_EQ(journal.Completed(kJob, OutputStep::kCopy), c.copy);
    EXPECT_EQ(journal.Completed(kTurned, OutputStep::kHandOff), c.turned_handoff);
    EXPECT_EQ(fs::exists(path.string() + ".damaged"), c.set_aside);
    if (c.set_aside) {
      EXPECT_NE(ReadWholeFile(LogFile).find("Auftragsjournal beschaedigt"), std::string::npos);
    }
  }
}

TEST(JobJournalTest, SurvivesARestartAndStaysSmall) {
  testing::TempDir dir;
  LogFile = (dir.path() / "plotspool.log").string();
  const std::string path = (dir.path() / "plotspool.journal").string();
  {
    JobJournal journal(path);
    journal.Begin(kJob, OutputStep::kPrint, "17 Plotter");
    journal.Complete(kJob, OutputStep::kHandOff);
    journal.MarkKept(kTurned, "refused 13 Type mismatch");
    // Many finished jobs later the file holds only what still matters.
    for (uint64_t inode = 100; inode < 2600; ++inode) {
      const FileIdentity done{9, inode, 1, 1};
      journal.Complete(done, OutputStep::kCopy);
      journal.Forget(done);
    }
  }
  EXPECT_LT(fs::file_size(path), 32u * 1024);  // 100 KiB without compaction
  JobJournal restarted(path);
  EXPECT_TRUE(restarted.Completed(kJob, OutputStep::kHandOff));
  EXPECT_FALSE(restarted.Completed(kJob, OutputStep::kPrint));
  EXPECT_EQ(restarted.Unconfirmed(kJob, OutputStep::kPrint), "17 Plotter");
  EXPECT_EQ(restarted.KeptAs(kTurned), "refused 13 Type mismatch");
  EXPECT_EQ(restarted.KeptAs(kJob), std::nullopt);
  EXPECT_FALSE(restarted.Completed(FileIdentity{9, 200, 1, 1}, OutputStep::kCopy));
  EXPECT_FALSE(fs::exists(LogFile));
}

}  // namespace
}  // namespace plotspool
