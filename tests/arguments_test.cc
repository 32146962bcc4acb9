// The command line of the service executable: two informational options, everything else refused
// before the service starts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace plotspool {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::ReadWholeFile;

struct Outcome {
  int status = -1;  // exit status; -1 when it was still running after two seconds
  std::string out;
  std::string err;
};

class ArgumentsTest : public ::testing::Test {
 protected:
  Outcome Run(std::vector<std::string> args) {
    const fs::path out = dir_.path() / "out.txt";
    const fs::path err = dir_.path() / "err.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string program = service_.executable().string();
    std::vector<char*> argv{program.data()};
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    Outcome outcome;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), nullptr);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return outcome;
    int status = 0;
    if (!testing::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 2s)) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    } else if (WIFEXITED(status)) {
      outcome.status = WEXITSTATUS(status);
    }
    outcome.out = ReadWholeFile(out);
    outcome.err = ReadWholeFile(err);
    return outcome;
  }

  testing::TempDir dir_;
  testing::ServiceUnderTest service_{dir_.path()};
};

TEST_F(ArgumentsTest, HelpAndVersionPrintAndExit) {
  const Outcome help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: plotspool", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("--version"), std::string::npos);
  EXPECT_EQ(help.err, "");

  const Outcome version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("plotspool ") + PLOTSPOOL_VERSION + "\n");
  EXPECT_EQ(version.err, "");
  EXPECT_FALSE(fs::exists(service_.ini())) << "an informational option started the service";
}

TEST_F(ArgumentsTest, AnyOtherArgumentIsRefusedWithoutStarting) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--bogus"},
           {"-h"},
           {""},
           {"start"},
           {"--help", "extra"},
           {"--version", "--help"},
           {"--check-settings", "now"},
           {"--explain", "plan.tif", "--bogus"},
           {"--explain", "plan.tif", "--printer", "P1", "more"}}) {
    const Outcome outcome = Run(args);
    const std::string shown = args[args.size() > 2 ? 2 : args.size() - 1];
    EXPECT_EQ(outcome.status, 2) << shown;
    EXPECT_EQ(outcome.out, "") << shown;
    EXPECT_NE(outcome.err.find("unexpected argument '" + shown + "'"), std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find("usage: plotspool"), std::string::npos);
  }
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--explain"}, {"--explain", ""}}) {
    const Outcome outcome = Run(args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("--explain needs a file"), std::string::npos) << outcome.err;
  }
  EXPECT_FALSE(fs::exists(service_.ini()));
  EXPECT_FALSE(fs::exists(service_.log()));
}

}  // namespace
}  // namespace plotspool
