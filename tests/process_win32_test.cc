// What a started program receives from the service on Windows: nothing but its standard handles.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>

#include "platform/process.h"
#include "platform/win32/unique_handle.h"
#include "test_support.h"

namespace plotspool::platform {
namespace {

TEST(ChildProcessWin32Test, AnInheritableHandleOfTheServiceStaysWithTheService) {
  testing::TempDir dir;
  const std::string file = dir / "job.tif";
  // Inheritable, as a library might open one: a program that outlived its job would otherwise
  // keep the job file open, and unshared, so it could neither be deleted nor replaced.
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  UniqueHandle held(
      CreateFileA(file.c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(held.valid());
  ChildProcess program("ping -n 10 127.0.0.1");
  held.Reset();
  const UniqueHandle reopened(
      CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(reopened.valid()) << "the program holds the file: error " << GetLastError();
  program.KillTree();
  EXPECT_EQ(program.WaitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(5)),
            WaitOutcome::kEnded);
}

}  // namespace
}  // namespace plotspool::platform
