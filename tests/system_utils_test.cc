#include "util/system_utils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "base/error.h"

#include "test_support.h"

namespace plotspool {
namespace {

// How the system spells a folder path.
#ifdef _WIN32
constexpr const char* kRoot = "C:\\";
constexpr char kSeparator = '\\';
#else
constexpr const char* kRoot = "/";
constexpr char kSeparator = '/';
#endif

// Sets an environment variable for the life of the object.
class ScopedEnvironmentValue {
 public:
  explicit ScopedEnvironmentValue(std::string name) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
  }
  ~ScopedEnvironmentValue() { testing::SetEnvironmentValue(name_, old_); }
  ScopedEnvironmentValue(const ScopedEnvironmentValue&) = delete;
  ScopedEnvironmentValue& operator=(const ScopedEnvironmentValue&) = delete;
  void Set(const std::optional<std::string>& value) const {
    testing::SetEnvironmentValue(name_, value);
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class RunAndWaitTest : public ::testing::Test {
 protected:
  testing::TempDir temp_;
  const std::string dir_ = temp_.str() + "/";
};

TEST_F(RunAndWaitTest, ProgramThatCannotStartThrows) {
  std::string line = dir_ + "no-such-program --flag";
  bRunTimedOut = true;
  try {
    RunAndWait(line, 6, 5);
    ADD_FAILURE() << "no error";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), kFileNotFound);
  }
  EXPECT_FALSE(bRunTimedOut);
  EXPECT_EQ(line, dir_ + "no-such-program --flag");
}

TEST(SystemUtilsTest, TempDirEndsInSeparatorAndFitsItsBuffer) {
  const ScopedEnvironmentValue tmp(testing::kTempDirVariable);
#ifndef _WIN32
  tmp.Set(std::nullopt);
  EXPECT_EQ(GetTempDir(), "/tmp/");
#endif
  const std::string spool = std::string(kRoot) + "var" + kSeparator + "spool";
  tmp.Set(spool);
  EXPECT_EQ(GetTempDir(), spool + kSeparator);
  tmp.Set(spool + kSeparator);
  EXPECT_EQ(GetTempDir(), spool + kSeparator);
  const std::size_t root = std::string(kRoot).size();
  tmp.Set(kRoot + std::string(143 - root, 'a'));  // 144 with the separator
  EXPECT_EQ(GetTempDir().size(), 144u);
  tmp.Set(kRoot + std::string(144 - root, 'a'));
  EXPECT_EQ(GetTempDir(), "");
}

TEST(SystemUtilsTest, EnvVarFitsItsBuffer) {
  const ScopedEnvironmentValue variable("PLOTSPOOL_TEST_VAR");
  variable.Set(std::nullopt);
  EXPECT_EQ(GetEnvVar("PLOTSPOOL_TEST_VAR"), "");
  variable.Set(std::string(254, 'v'));
  EXPECT_EQ(GetEnvVar("PLOTSPOOL_TEST_VAR"), std::string(254, 'v'));
  variable.Set(std::string(255, 'v'));
  EXPECT_EQ(GetEnvVar("PLOTSPOOL_TEST_VAR"), "");
}

}  // namespace
}  // namespace plotspool
