// Scaffolding while the Win32 back end is built: every function of process.h, close_request.h
// and service_notify.h fails here. Removed piece by piece as the real implementations land.
#include <string>

#include "base/error.h"
#include "platform/close_request.h"
#include "platform/process.h"
#include "platform/service_notify.h"

namespace plotspool::platform {
namespace {
[[noreturn]] void Pending(const char* what) {
  throw RuntimeError(kPathFileAccessError, std::string(what) + " is not built for Windows yet");
}
}  // namespace

std::vector<std::string> SplitCommandLine(const std::string&) { Pending("SplitCommandLine"); }
std::string QuoteCommandLineArgument(const std::string& argument) { return argument; }
std::string FindProgram(const std::string&) { return {}; }
struct ChildProcess::State {};
ChildProcess::ChildProcess(const std::string&) { Pending("ChildProcess"); }
ChildProcess::~ChildProcess() = default;
int ChildProcess::pid() const { return 0; }
WaitOutcome ChildProcess::WaitUntil(std::chrono::steady_clock::time_point) {
  return WaitOutcome::kEnded;
}
std::string ChildProcess::KillTree() { return {}; }
void ReapFinishedChildren() {}

void InstallCloseRequestSignals() {}
bool CloseRequestPending() { return false; }
bool WaitForCloseRequest(std::chrono::milliseconds) { return false; }
void RaiseCloseRequest() {}

struct ServiceNotifier::Socket {};
ServiceNotifier::ServiceNotifier() = default;
ServiceNotifier::~ServiceNotifier() = default;
bool ServiceNotifier::enabled() const { return false; }
bool ServiceNotifier::Ready() const { return false; }
bool ServiceNotifier::Watchdog() const { return false; }
bool ServiceNotifier::Status(std::string_view) const { return false; }
bool ServiceNotifier::Stopping() const { return false; }

}  // namespace plotspool::platform
