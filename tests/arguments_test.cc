// The command line of the service executable: two informational options, everything else refused
// before the service starts.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace plotspool {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class ArgumentsTest : public ::testing::Test {
 protected:
  testing::ProgramRun Run(const std::vector<std::string>& args) {
    return testing::RunProgram(service_.executable(), args, {}, 2s);
  }

  testing::TempDir dir_;
  testing::ServiceUnderTest service_{dir_.path()};
};

TEST_F(ArgumentsTest, HelpAndVersionPrintAndExit) {
  const testing::ProgramRun help = Run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: plotspool", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("--version"), std::string::npos);
  EXPECT_EQ(help.err, "");

  const testing::ProgramRun version = Run({"--version"});
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
    const testing::ProgramRun outcome = Run(args);
    const std::string shown = args[args.size() > 2 ? 2 : args.size() - 1];
    EXPECT_EQ(outcome.status, 2) << shown;
    EXPECT_EQ(outcome.out, "") << shown;
    EXPECT_NE(outcome.err.find("unexpected argument '" + shown + "'"), std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find("usage: plotspool"), std::string::npos);
  }
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--explain"}, {"--explain", ""}}) {
    const testing::ProgramRun outcome = Run(args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("--explain needs a file"), std::string::npos) << outcome.err;
  }
  EXPECT_FALSE(fs::exists(service_.ini()));
  EXPECT_FALSE(fs::exists(service_.log()));
}

}  // namespace
}  // namespace plotspool
