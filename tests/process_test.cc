#include "platform/process.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

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
  std::ofstream(dir_ + "plain") << "#!/bin/sh\n";
  EXPECT_EQ(ErrorNumberOf([&] { ChildProcess(dir_ + "plain"); }), kPermissionDenied);
  EXPECT_EQ(ErrorNumberOf([] { ChildProcess("   "); }), kInvalidProcedureCall);
}

}  // namespace
}  // namespace plotspool::platform
