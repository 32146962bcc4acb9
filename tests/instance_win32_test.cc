#include "platform/instance.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace plotspool::platform {
namespace {

TEST(InstanceLockWin32Test, OneLockPerProgramWhateverItsSpelling) {
  const std::string program = "C:\\Program Files\\plotspool-test\\plotspool.exe";
  std::optional<InstanceLock> first(program);
  ASSERT_TRUE(first->acquired());
  for (const char* spelling : {"c:/program files/PLOTSPOOL-TEST/plotspool.EXE",
                               "C:\\Program Files\\plotspool-test\\.\\plotspool.exe"}) {
    EXPECT_FALSE(InstanceLock(spelling).acquired()) << spelling;
  }
  EXPECT_TRUE(InstanceLock("C:\\Program Files\\plotspool-test\\other.exe").acquired());
  first.reset();  // as when the first instance ends
  EXPECT_TRUE(InstanceLock(program).acquired());
}

}  // namespace
}  // namespace plotspool::platform
