// Runs of programs that only a POSIX system can stage: shell scripts, procfs, process groups and
// a close request raised in a forked child.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/error.h"
#include "platform/close_request.h"
#include "platform/process.h"
#include "util/message_loop.h"
#include "util/system_utils.h"

#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Not running any more: gone, or a zombie waiting for its parent.
bool Gone(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  if (!stat) return true;
  std::string line;
  std::getline(stat, line);
  const auto close_paren = line.rfind(')');
  return close_paren != std::string::npos && line.substr(close_paren + 2, 1) == "Z";
}

class RunAndWaitPosixTest : public ::testing::Test {
 protected:
  std::string WriteScript(const std::string& name, const std::string& body) const {
    return testing::WriteScript(temp_.path() / name, body).string();
  }

  testing::TempDir temp_;
  const std::string dir_ = temp_.str() + "/";
};

TEST_F(RunAndWaitPosixTest, ProgramThatEndsIsSeenBeforeTheDeadline) {
  const std::string marker = dir_ + "ran";
  std::string line = "touch " + marker;
  const std::string original = line;
  bRunTimedOut = true;
  const auto start = Clock::now();
  RunAndWait(line, 6, 10);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(bRunTimedOut);
  EXPECT_EQ(line, original);
  EXPECT_TRUE(fs::exists(marker));
}

TEST_F(RunAndWaitPosixTest, TimeOutKillsProgramAndEverythingItStarted) {
  const std::string pids = dir_ + "pids";
  const std::string script = WriteScript("slow", "sleep 60 &\necho $$ $! > " + pids + ".part\nmv " +
                                                     pids + ".part " + pids + "\nsleep 60\n");
  for (const int16_t timeout : {1, 0}) {
    fs::remove(pids);
    std::string line = script;
    const auto start = Clock::now();
    RunAndWait(line, 0, timeout);
    const auto elapsed = Clock::now() - start;
    EXPECT_GT(elapsed, std::chrono::seconds(timeout));
    EXPECT_LE(elapsed, std::chrono::seconds(timeout + 1));
    EXPECT_TRUE(bRunTimedOut);
    if (timeout == 0 && !fs::exists(pids)) continue;  // killed before it wrote anything
    std::istringstream ids(testing::ReadWholeFile(pids));
    std::string program, grandchild;
    ids >> program >> grandchild;
    ASSERT_FALSE(grandchild.empty());
    EXPECT_EQ(line, "kill -KILL -" + program);
    const auto killed_by = Clock::now() + std::chrono::seconds(1);
    while ((!Gone(program) || !Gone(grandchild)) && Clock::now() < killed_by) usleep(10000);
    EXPECT_TRUE(Gone(program));
    EXPECT_TRUE(Gone(grandchild));
  }
}

TEST_F(RunAndWaitPosixTest, CommandLineTextNeverReachesAShell) {
  const std::string record = dir_ + "argv";
  const std::string recorder = WriteScript(
      "record args", "for a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"" + record + "\"\n");
  const std::vector<std::string> args = {"$(touch " + dir_ + "pwned1)",
                                         "`touch " + dir_ + "pwned2`",
                                         "; touch " + dir_ + "pwned3",
                                         "| touch " + dir_ + "pwned4 &&",
                                         "line one\nline two",
                                         "-rf",
                                         "--",
                                         "\xff\xfe latin\xe9",
                                         "say \"hi\" \\\" \\",
                                         "*",
                                         "$HOME",
                                         ""};
  // The program name takes quotes only as grouping: quoted whole, as it holds a blank.
  std::string line = "\"" + recorder + "\"";
  for (const auto& arg : args) line += " " + platform::QuoteCommandLineArgument(arg);
  RunAndWait(line, 6, 30);
  ASSERT_FALSE(bRunTimedOut);

  std::string expected;
  for (const auto& arg : args) expected += arg + '\0';
  EXPECT_EQ(testing::ReadWholeFile(record), expected);
  for (const char* name : {"pwned1", "pwned2", "pwned3", "pwned4"}) {
    EXPECT_FALSE(fs::exists(dir_ + name)) << name;
  }
}

TEST_F(RunAndWaitPosixTest, CloseRequestEndsTheWaitAtOnce) {
  // A close request stays pending for the whole process, so it is raised in a child.
  EXPECT_EXIT(
      {
        const std::string started = dir_ + "started";
        std::string line = WriteScript("long", "touch " + started + "\nexec sleep 30\n");
        platform::InstallCloseRequestSignals();
        std::thread([] {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          platform::RaiseCloseRequest();
        }).detach();
        const auto start = Clock::now();
        try {
          RunAndWait(line, 6, 20);
        } catch (const CloseRequested&) {
          const bool quick = Clock::now() - start < std::chrono::seconds(5);
          _exit(quick && !bRunTimedOut && fs::exists(started) ? 3 : 4);
        }
        _exit(5);
      },
      ::testing::ExitedWithCode(3), "");
}

}  // namespace
}  // namespace plotspool
