#include "log/service_log.h"

#include <gtest/gtest.h>

#include <regex>

#include "base/error.h"
#include "config/app_paths.h"
#include "test_support.h"

namespace plotspool {
namespace {

class ServiceLogTest : public ::testing::Test {
 protected:
  void SetUp() override { LogFile = (dir_.path() / "plotspool.log").string(); }
  testing::TempDir dir_;
};

TEST_F(ServiceLogTest, LinesAreTabSeparatedWithCrLfInCallOrder) {
  WriteLog("Info", "Start uebertragen der Datei:/tmp/x Bytes:1000");
  WriteLog("error", "");
  // A name from another machine cannot forge a field or a line of its own.
  WriteLog("info", "geöffnet\tmit Tab\r\n01.01.30 00:00:00\terror\tforged");
  const std::string content = testing::ReadWholeFile(LogFile);
  const std::regex layout(
      "([^\t\r\n]+)\tInfo\tStart uebertragen der Datei:/tmp/x Bytes:1000\r\n"
      "([^\t\r\n]+)\terror\t\r\n"
      "([^\t\r\n]+)\tinfo\tgeöffnet\\\\x09mit Tab\\\\x0D\\\\x0A01.01.30 "
      "00:00:00\\\\x09error\\\\x09forged\r\n");
  EXPECT_TRUE(std::regex_match(content, layout)) << content;
}

TEST_F(ServiceLogTest, AppendsToAnExistingLog) {
  testing::WriteWholeFile(LogFile, "old line\r\n");
  WriteLog("info", "new");
  const std::string content = testing::ReadWholeFile(LogFile);
  EXPECT_EQ(content.rfind("old line\r\n", 0), 0u);
  EXPECT_EQ(content.substr(content.size() - 6), "\tnew\r\n");
}

TEST_F(ServiceLogTest, ALineTheLogDoesNotTakeGoesToStandardError) {
  LogFile = (dir_.path() / "missing-dir" / "plotspool.log").string();
  ::testing::internal::CaptureStderr();
  WriteLog("error", "not lost");
  const std::string reported = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(reported.find("(53 File not found)"), std::string::npos) << reported;
  EXPECT_NE(reported.find("\terror\tnot lost\r\n"), std::string::npos) << reported;
}

TEST(LogTimeStampTest, MidnightHasNoTimePart) {
  std::tm midnight{};
  midnight.tm_year = 103;
  midnight.tm_mon = 4;
  midnight.tm_mday = 6;
  std::tm later = midnight;
  later.tm_sec = 1;
  char date[64];
  std::strftime(date, sizeof date, "%x", &midnight);
  EXPECT_EQ(LogTimeStamp(midnight), date);
  EXPECT_EQ(LogTimeStamp(later).rfind(std::string(date) + " ", 0), 0u);
  EXPECT_GT(LogTimeStamp(later).size(), std::string(date).size() + 1);
}

}  // namespace
}  // namespace plotspool
