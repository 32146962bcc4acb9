// How started children look from procfs: their descriptors, their process group, their reaping.
#include "platform/process.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "test_support.h"

namespace plotspool::platform {
namespace {

namespace fs = std::filesystem;

class ChildProcessPosixTest : public ::testing::Test {
 protected:
  testing::TempDir temp_;
  const std::string dir_ = temp_.str() + "/";
};

TEST_F(ChildProcessPosixTest, RunsInOwnGroupWithNullInputAndOutput) {
  const std::string script = dir_ + "probe";
  const std::string out = dir_ + "out";
  // Read into variables first: a redirection would change the very descriptors looked at.
  std::ofstream(script) << "#!/bin/sh\n"
                        << "i=$(readlink /proc/$$/fd/0); o=$(readlink /proc/$$/fd/1)\n"
                        << "g=$(cut -d' ' -f5 /proc/$$/stat)\n"
                        << "echo $i $o $g $$ > " << out << "\n";
  chmod(script.c_str(), 0755);
  ChildProcess child(script);
  EXPECT_EQ(child.WaitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(30)),
            WaitOutcome::kEnded);
  std::ifstream in(out);
  std::string in_target, out_target, group, pid;
  in >> in_target >> out_target >> group >> pid;
  EXPECT_EQ(in_target, "/dev/null");
  EXPECT_EQ(out_target, "/dev/null");
  EXPECT_EQ(group, pid);
  EXPECT_EQ(pid, std::to_string(child.pid()));
}

TEST_F(ChildProcessPosixTest, WaitEndsAtDeadlineAndReaperCollectsLeftovers) {
  int pid = 0;
  {
    ChildProcess child("sleep 30");
    pid = child.pid();
    EXPECT_EQ(child.WaitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(200)),
              WaitOutcome::kDeadlinePassed);
    EXPECT_EQ(child.KillTree(), "kill -KILL -" + std::to_string(pid));
  }
  const std::string proc = "/proc/" + std::to_string(pid);
  for (int i = 0; i < 100 && fs::exists(proc); ++i) {
    ReapFinishedChildren();
    usleep(20000);
  }
  EXPECT_FALSE(fs::exists(proc)) << "killed child was never reaped";
}

}  // namespace
}  // namespace plotspool::platform
