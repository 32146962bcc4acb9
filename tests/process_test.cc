#include "platform/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "base/error.h"

#include "test_support.h"

namespace plotspool::platform {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

TEST(SplitCommandLineTest, BlanksQuotesAndBackslashes) {
  const std::vector<std::pair<std::string, Args>> cases = {
      {"", {}},
      {" \t ", {}},
      {"prog a b", {"prog", "a", "b"}},
      {"  prog \t a\t\tb  ", {"prog", "a", "b"}},
      {"prog \"a b\" c", {"prog", "a b", "c"}},
      {"prog a\"b c\"d", {"prog", "ab cd"}},
      {"prog \"\"", {"prog", ""}},
      {"prog \"open end", {"prog", "open end"}},
      {"prog \"a\"\"b\"", {"prog", "a\"b"}},
      {"prog \"a\\\"b\"", {"prog", "a\"b"}},
      {"prog \\\"", {"prog", "\""}},
      {"prog a\\\\b", {"prog", "a\\\\b"}},              // backslashes before no quote: literal
      {"prog a\\\\\\\"b", {"prog", "a\\\"b"}},          // 3 + quote: one backslash, literal quote
      {"prog a\\\\\\\\\"b c\"", {"prog", "a\\\\b c"}},  // 4 + quote: two backslashes, grouping
      {"prog a\\", {"prog", "a\\"}},
      {"prog a\nb", {"prog", "a\nb"}},  // only blanks and tabs separate
      {"\"/opt/my app/run\" x", {"/opt/my app/run", "x"}},
      {"C:\\dir\\\"x y\" z", {"C:\\dir\\x y", "z"}},  // program name: no escapes at all
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(SplitCommandLine(line), expected) << line;
  }
}

TEST(SplitCommandLineTest, QuotedArgumentsReadBackUnchanged) {
  EXPECT_EQ(QuoteCommandLineArgument("/tmp/plan.tif"), "/tmp/plan.tif");
  EXPECT_EQ(QuoteCommandLineArgument("/tmp/my plan.tif"), "\"/tmp/my plan.tif\"");
  EXPECT_EQ(QuoteCommandLineArgument(""), "\"\"");
  EXPECT_EQ(QuoteCommandLineArgument("a\\b"), "a\\b");
  EXPECT_EQ(QuoteCommandLineArgument("a b\\"), "\"a b\\\\\"");
  // Every string over the characters that matter survives the round trip.
  const std::string alphabet = "a \t\"\\\n";
  std::mt19937 random(42);
  for (int i = 0; i < 20000; ++i) {
    std::string text(random() % 9, ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    const Args args = SplitCommandLine("prog " + QuoteCommandLineArgument(text) + " end");
    ASSERT_EQ(args, (Args{"prog", text, "end"})) << '[' << text << ']';
  }
}

class ChildProcessTest : public ::testing::Test {
 protected:
  testing::TempDir temp_;
  const std::string dir_ = temp_.str() + "/";
};

using testing::ErrorNumberOf;

TEST_F(ChildProcessTest, StartFailuresAreRunTimeErrors) {
  EXPECT_EQ(ErrorNumberOf([] { ChildProcess("no-such-program-xyz arg"); }), kFileNotFound);
  EXPECT_EQ(ErrorNumberOf([&] { ChildProcess(dir_ + "missing"); }), kFileNotFound);
  // Neither executable nor a program the system knows how to start.
  std::ofstream(dir_ + "plain.exe") << "#!/bin/sh\n";
  EXPECT_EQ(ErrorNumberOf([&] { ChildProcess(dir_ + "plain.exe"); }), kPermissionDenied);
  EXPECT_EQ(ErrorNumberOf([] { ChildProcess("   "); }), kInvalidProcedureCall);
}

TEST_F(ChildProcessTest, WaitSeesTheEndOrTheDeadlineAndKillTreeReachesGrandchildren) {
  using Clock = std::chrono::steady_clock;
  const std::string record = fs::path(dir_ + "record").make_preferred().string();
  const std::string marker = fs::path(dir_ + "late").make_preferred().string();
#ifdef _WIN32
  const auto quick = testing::WriteScript(dir_ + "quick", "echo %1> \"" + record + "\"\n");
  // The grandchild would leave its marker two seconds on, unless the kill reached it.
  const auto slow = testing::WriteScript(
      dir_ + "slow", "start \"\" /b cmd /c \"ping -n 3 127.0.0.1 >nul & echo x> " + marker +
                         "\"\nping -n 30 127.0.0.1 >nul\n");
  const std::string kill_tool = "taskkill /F /T /PID ";
#else
  const auto quick = testing::WriteScript(dir_ + "quick", "echo \"$1\" > '" + record + "'\n");
  const auto slow =
      testing::WriteScript(dir_ + "slow", "(sleep 2; touch '" + marker + "') &\nexec sleep 30\n");
  const std::string kill_tool = "kill -KILL -";
#endif
  {
    ChildProcess child(quick.string() + " handed");
    EXPECT_EQ(child.WaitUntil(Clock::now() + std::chrono::seconds(30)), WaitOutcome::kEnded);
    EXPECT_EQ(testing::ReadWholeFile(record).substr(0, 6), "handed");
  }
  ChildProcess child(slow.string());
  const auto start = Clock::now();
  EXPECT_EQ(child.WaitUntil(start + std::chrono::milliseconds(300)), WaitOutcome::kDeadlinePassed);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(child.KillTree(), kill_tool + std::to_string(child.pid()));
  EXPECT_EQ(child.WaitUntil(Clock::now() + std::chrono::seconds(5)), WaitOutcome::kEnded);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_FALSE(fs::exists(marker)) << "a program the killed one started lived on";
}

}  // namespace
}  // namespace plotspool::platform
