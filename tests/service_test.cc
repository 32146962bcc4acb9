// The read of the service settings, in the process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/app_paths.h"
#include "service/global_settings.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using testing::WriteWholeFile;

// In the process, not through the executable: a faulty refusal must not walk the machine.
class RootRefusalTest : public testing::InProcessServiceTest {};

TEST_F(RootRefusalTest, TheFileSystemRootIsNeverAcceptedHoweverWritten) {
  const std::string temp = temp_.string();
  // One ".." more than the folder is deep: above the root is still the root.
  std::string above = temp + "/..";
  for ([[maybe_unused]] const fs::path& part : temp_.relative_path()) above += "/..";
  for (const std::string& root : std::vector<std::string>{
#ifdef _WIN32
           temp.substr(0, 3), temp.substr(0, 2) + "/",
#endif
           "/", "//", "/tmp/..", above}) {
    WriteWholeFile(IniFile, "[Global]\nUebergabePfad=" + root + "\n");
    EXPECT_FALSE(ReadGlobalSettings()) << root;
    // The line names the root as resolved: "/", on Windows the drive's root, such as "C:/".
    const std::string shown = fs::absolute(root).root_path().generic_string();
    EXPECT_TRUE(
        Logged("\terror\tUebergabepfad abgelehnt, er enthaelt " + shown + ": " + root + "\r\n"))
        << root << "\n"
        << Log();
  }
  WriteWholeFile(IniFile, "[Global]\nUebergabePfad=" + root_.string() + "/\n");
  EXPECT_TRUE(ReadGlobalSettings());
}

}  // namespace
}  // namespace plotspool
