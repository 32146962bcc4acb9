// The close request from outside, as the session, an operator and the service control manager
// make it: WM_CLOSE to the hidden window of a process that waits on a program, and a stop of the
// service. The probe stands in for the service.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "platform/process.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(CloseRequestWin32Test, WindowCloseEndsTheWaitForAProgramAtOnce) {
  testing::TempDir dir;
  const fs::path probe = fs::path(PLOTSPOOL_BINARY_DIR "/close_request_probe.exe").make_preferred();
  platform::ChildProcess service(probe.string() + " " + dir.str());
  // A failed assertion must not leave the probe holding the test's output open for a minute.
  const std::unique_ptr<platform::ChildProcess, void (*)(platform::ChildProcess*)> kill_at_end(
      &service, [](platform::ChildProcess* probe) { probe->KillTree(); });
  ASSERT_TRUE(testing::WaitFor([&] { return fs::exists(dir.path() / "started"); }, 10s));
  // Started by hand, the probe runs as a plain program: no service manager is told anything.
  EXPECT_EQ(testing::ReadWholeFile(dir.path() / "started"), "program");

  const auto asked = Clock::now();
  ASSERT_TRUE(testing::PostCloseRequest(service.pid(), 5s));
  EXPECT_EQ(service.WaitUntil(Clock::now() + 10s), platform::WaitOutcome::kEnded);
  EXPECT_LT(Clock::now() - asked, 3s);
  EXPECT_EQ(testing::ReadWholeFile(dir.path() / "outcome"), "close request");
}

using ServiceHandle = std::unique_ptr<SC_HANDLE__, decltype(&CloseServiceHandle)>;

DWORD StateOf(SC_HANDLE service) {
  SERVICE_STATUS status{};
  return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

TEST(CloseRequestWin32Test, TheServiceManagerStartsAndStopsTheService) {
  const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE),
                              CloseServiceHandle);
  if (!manager) GTEST_SKIP() << "no right to create a service here";
  testing::TempDir dir;
  // With its drive: the manager starts services from a folder of its own.
  const fs::path probe =
      fs::absolute(fs::path(PLOTSPOOL_BINARY_DIR "/close_request_probe.exe").make_preferred());
  const std::string name = "plotspool-test-" + std::to_string(GetCurrentProcessId());
  const std::string command_line = "\"" + probe.string() + "\" " + dir.str();
  const ServiceHandle service(
      CreateServiceA(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                     command_line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr),
      CloseServiceHandle);
  ASSERT_TRUE(service) << GetLastError();
  // Gone again however the test ends; a probe still running is stopped first.
  const std::unique_ptr<SC_HANDLE__, void (*)(SC_HANDLE)> remove_at_end(
      service.get(), [](SC_HANDLE created) {
        SERVICE_STATUS status{};
        ControlService(created, SERVICE_CONTROL_STOP, &status);
        DeleteService(created);
      });

  ASSERT_TRUE(StartServiceA(service.get(), 0, nullptr)) << GetLastError();
  ASSERT_TRUE(testing::WaitFor([&] { return StateOf(service.get()) == SERVICE_RUNNING; }, 10s));
  EXPECT_EQ(testing::ReadWholeFile(dir.path() / "started"), "service");
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_TRUE(testing::WaitFor([&] { return StateOf(service.get()) == SERVICE_STOPPED; }, 10s));
  EXPECT_EQ(testing::ReadWholeFile(dir.path() / "outcome"), "close request");
}

}  // namespace
}  // namespace plotspool
