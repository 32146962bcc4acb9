// The in-use marks of the Win32 back end seen from another process: what a killed run leaves is
// swept, what a live process holds is not. The killed run is this test program started again.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "platform/temporary_files.h"
#include "platform/win32/temporary_lock.h"
#include "platform/win32/unique_handle.h"

#include "test_support.h"

namespace plotspool::platform {
namespace {

namespace fs = std::filesystem;

using testing::WriteWholeFile;

// Where the killed run works, and its ledger; set only in that run.
constexpr char kChildVariable[] = "PLOTSPOOL_SWEEP_CHILD";

// The killed run: makes one of each temporary, then ends as a crash does, releasing nothing.
TEST(TemporaryFilesWin32Test, DISABLED_KilledRun) {
  const char* where = std::getenv(kChildVariable);
  if (where == nullptr) GTEST_SKIP() << "only as the child of SweepTakesWhatAKilledRunLeft";
  const std::string dir = std::string(where) + "/";
  SetTemporaryLedger(dir + "ledger/plotspool.temporaries");
  const std::string unpacking = CreateTempFileName(dir, "~VB");
  WriteWholeFile(unpacking + ".zip", "archive copy");
  const std::string print = CreateTempFileName(dir, "");
  WriteWholeFile(print + ".bmp", "bitmap");
  HiddenTemporary save(dir, "plan.tif");
  save.Write("half", 4);
  const PrivateFolder folder(dir);
  fs::create_directories(folder.path() + "plots");
  WriteWholeFile(folder.path() + "plots/plan.tif", "member");
  TerminateProcess(GetCurrentProcess(), 9);
}

// Runs this program's KilledRun in `dir` and waits for its end.
void RunKilledRun(const std::string& dir) {
  char self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
  std::string line = std::string("\"") + self +
                     "\" --gtest_filter=TemporaryFilesWin32Test.DISABLED_KilledRun "
                     "--gtest_also_run_disabled_tests";
  testing::SetEnvironmentValue(kChildVariable, dir);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  testing::SetEnvironmentValue(kChildVariable, std::nullopt);
  ASSERT_TRUE(started);
  const UniqueHandle child(process.hProcess);
  CloseHandle(process.hThread);
  ASSERT_EQ(WaitForSingleObject(child.get(), 60000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(child.get(), &code);
  ASSERT_EQ(code, 9u);
}

TEST(TemporaryFilesWin32Test, SweepTakesWhatAKilledRunLeft) {
  const testing::TempDir temp;
  const std::string dir = temp.str() + "/";
  fs::create_directory(dir + "ledger");
  const std::string ledger = dir + "ledger/plotspool.temporaries";
  // Other programs' files that merely look like ours, and a lookalike folder open to others.
  const std::set<std::string> foreign = {"1234.tmp", "plan.tif", "~VB1A2F.tmp", "~VB1A2F.tmp.zip",
                                         ".plotspool-job-0000ABCD"};
  for (const std::string& name : foreign) {
    if (!name.starts_with(".")) WriteWholeFile(dir + name, "");
  }
  fs::create_directory(dir + ".plotspool-job-0000ABCD");
  WriteWholeFile(dir + ".plotspool-job-0000ABCD/theirs", "not ours");
  // Versions a killed save had moved aside: the only copy of "plot.tif" (its new version never
  // took the name), and an old one of "plan.tif".
  WriteWholeFile(dir + ".plotspool-plot.tif.0123456789ab.old", "only copy");
  WriteWholeFile(dir + ".plotspool-plan.tif.0123456789ab.old", "old version");
  RunKilledRun(temp.str());
  const auto names = [&] {
    std::set<std::string> all;
    for (const auto& entry : fs::directory_iterator(dir)) {
      all.insert(entry.path().filename().string());
    }
    return all;
  };
  ASSERT_EQ(names().size(), foreign.size() + 9)
      << "ledger, 2 names, 2 companions, save, folder, 2 moved aside";

  SetTemporaryLedger(ledger);  // the next run
  // In use by this live process, each in its own way.
  const std::string held = CreateTempFileName(dir, "~VB");
  WriteWholeFile(held + ".zip", "in use");
  HiddenTemporary saving(dir, "plan.tif");
  const PrivateFolder working(dir);
  EXPECT_EQ(RemoveStaleTemporaries(dir), 8);
  EXPECT_EQ(testing::ReadWholeFile(dir + "plot.tif"), "only copy");
  EXPECT_EQ(testing::ReadWholeFile(dir + "plan.tif"), "");
  std::set<std::string> left = foreign;
  left.insert({"ledger", "plot.tif"});
  for (const std::string& path : {held, held + ".zip", working.path()}) {
    left.insert(fs::path(path).parent_path() == fs::path(dir).parent_path()
                    ? fs::path(path).filename().string()
                    : fs::path(path).parent_path().filename().string());
  }
  std::set<std::string> now = names();
  // The live hidden temporary is the one name of its kind still there.
  const auto hidden = std::find_if(now.begin(), now.end(), [](const std::string& name) {
    return name.starts_with(".plotspool-plan.tif.");
  });
  ASSERT_NE(hidden, now.end());
  EXPECT_FALSE(RemoveStaleTemporary(dir + *hidden));
  now.erase(hidden);
  EXPECT_EQ(now, left);
  SetTemporaryLedger("");
}

}  // namespace
}  // namespace plotspool::platform
