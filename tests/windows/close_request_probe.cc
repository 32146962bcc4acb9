// A stand-in service for the close request and the service manager: it sets up the close
// request as the service does, reports ready, waits on a program that would run for a minute and
// writes into the folder its argument names how the wait ended ("outcome") and how it was
// started ("started": service or program). Exits 0 when a close request ended the wait.
// Started by the tests, or by hand under the service manager:
//   sc create probe binPath= "C:\path\close_request_probe.exe C:\some\folder"
//   net start probe & net stop probe
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/close_request.h"
#include "platform/process.h"
#include "platform/service_host.h"
#include "platform/service_notify.h"

namespace {

using namespace plotspool::platform;

void Write(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

int Probe(const std::filesystem::path& folder) {
  InstallCloseRequestSignals();
  const ServiceNotifier manager;
  manager.Ready();
  Write(folder / "started", manager.enabled() ? "service" : "program");
  ChildProcess program("ping -n 60 127.0.0.1");
  const WaitOutcome outcome =
      program.WaitUntil(std::chrono::steady_clock::now() + std::chrono::seconds(60));
  program.KillTree();
  manager.Stopping();
  Write(folder / "outcome", outcome == WaitOutcome::kCloseRequested   ? "close request"
                            : outcome == WaitOutcome::kDeadlinePassed ? "deadline"
                                                                      : "ended");
  return outcome == WaitOutcome::kCloseRequested ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const std::filesystem::path folder = argv[1];
  return RunAsService([&] { return Probe(folder); });
}
