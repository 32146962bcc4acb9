// The read of the service settings, in the process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/app_paths.h"
#include "service/global_settings.h"
#include "test_support.h"

namespace plotspool {
namespace {

using testing::WriteWholeFile;

// In the process, not through the executable: a faulty refusal must not walk the machine.
class RootRefusalTest : public testing::InProcessServiceTest {};

TEST_F(RootRefusalTest, TheFileSystemRootIsNeverAcceptedHoweverWritten) {
  for (const std::string& root :
       std::vector<std::string>{"/", "//", "/tmp/..", temp_.string() + "/../../../.."}) {
    WriteWholeFile(IniFile, "[Global]\nUebergabePfad=" + root + "\n");
    EXPECT_FALSE(ReadGlobalSettings()) << root;
    EXPECT_TRUE(Logged("\terror\tUebergabepfad abgelehnt, er enthaelt /: " + root + "\r\n"))
        << root;
  }
  WriteWholeFile(IniFile, "[Global]\nUebergabePfad=" + root_.string() + "/\n");
  EXPECT_TRUE(ReadGlobalSettings());
}

}  // namespace
}  // namespace plotspool
