#include "service/service.h"

#include <chrono>
#include <exception>
#include <filesystem>

#include "base/convert.h"
#include "base/error.h"
#include "config/settings_file.h"
#include "intake/scan_directory.h"
#include "jobs/open_prints.h"
#include "log/metrics.h"
#include "platform/close_request.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/process.h"
#include "platform/service_notify.h"
#include "platform/temporary_files.h"
#include "service/global_settings.h"
#include "util/message_loop.h"
#include "util/system_utils.h"

namespace plotspool {

std::string AppPath;
std::string IniFile;
std::string LogFile;
bool bStopScan = false;

namespace {

std::string base_name;

// A value that is no number counts as off here: the take-over reports it.
bool AdminLogOn() {
  try {
    return TextToBool(ServiceSettings.AdminLog);
  } catch (const RuntimeError&) {
    return false;
  }
}

// The timer is one-shot: the next tick starts this long after the end of the previous one.
constexpr std::chrono::milliseconds kTimerInterval(1000);

// The service manager, while Main runs with one; null otherwise.
const platform::ServiceNotifier* service_manager = nullptr;
std::string last_status;
std::chrono::steady_clock::time_point last_watchdog;
bool watchdog_fed = false;

// Called from the idle loop and from every yield inside a tick, so a tick that stops yielding
// (a hang) is noticed by the manager's watchdog. Once a second is plenty and keeps it cheap.
void FeedWatchdog() {
  // A take-over waits for minutes inside one tick; the counters stay current meanwhile.
  PublishMetrics(ServiceSettings.MetricsFile);
  if (service_manager == nullptr) return;
  const auto now = std::chrono::steady_clock::now();
  if (watchdog_fed && now - last_watchdog < std::chrono::seconds(1)) return;
  service_manager->Watchdog();
  last_watchdog = now;
  watchdog_fed = true;
}

}  // namespace

std::string ExecutableBaseName() { return base_name; }

void SetAppPaths(const std::string& executable_path) {
  const std::filesystem::path path(executable_path);
  AppPath = path.parent_path().string();
  if (AppPath.empty() || AppPath.back() != '/') AppPath += '/';
  base_name = path.stem().string();
  IniFile = AppPath + base_name + ".ini";
  LogFile = AppPath + base_name + ".log";
}

bool Tick() {
  const auto start = std::chrono::steady_clock::now();
  const bool walk = ReadGlobalSettings();
  if (ServiceSettings.ProgrammEnde == "1") return false;
  // The walk may append a separator to the root it is given; the next tick reads it afresh.
  if (walk) ScanDirectory(ServiceSettings.UebergabePfad, "*", true);
  // Costs nothing while no page is open at the print system.
  FollowOpenPrints(AdminLogOn());
  // Notices and kill commands are not waited for; collect them so none lingers as a zombie.
  platform::ReapFinishedChildren();
  RecordTick(std::chrono::steady_clock::now() - start);
  PublishMetrics(ServiceSettings.MetricsFile);
  return !bStopScan;
}

void ReportStatus(const std::string& status) {
  if (service_manager == nullptr) return;
  try {
    // The operator's first question after "what is it doing": how has the last hour gone.
    const RecentCounts recent = CountsOfLastHour();
    const std::string text = status + " (last hour: " + std::to_string(recent.done) + " done, " +
                             std::to_string(recent.failed) + " failed)";
    if (text == last_status) return;
    last_status = text;
    service_manager->Status(text);
  } catch (const std::exception&) {
    // Out of memory for a status text: the report is not worth more than the work.
  }
}

void Unload() {
  bStopScan = true;
  // A stop request stops exactly one run: the next start must not stop again. Read first, so
  // that a file caught empty in the middle of an edit is not replaced by this one key.
  if (ReadSetting("Global", "ProgrammEnde", "0", IniFile).value != "0") {
    WriteIniValue("Global", "ProgrammEnde", "0", IniFile);
  }
}

int Main() {
  const std::string executable = platform::ExecutablePath();
  const platform::InstanceLock instance(executable);
  if (!instance.acquired()) return 0;

  platform::InstallCloseRequestSignals();
  const platform::ServiceNotifier manager;
  if (manager.enabled()) service_manager = &manager;
  SetAppPaths(executable);
  // Names of the "~VB" form are common in a shared temporary directory: only those listed here
  // were ever made by this service.
  platform::SetTemporaryLedger(AppPath + base_name + ".temporaries");
  // What a killed run left behind; files another live process uses stay.
  platform::RemoveStaleTemporaries(GetTempDir());
  platform::RemoveStaleTemporaries(AppPath);
  ReadGlobalSettings();
  manager.Ready();
  SetYieldObserver(FeedWatchdog);

  for (;;) {
    ReportStatus("idle");
    FeedWatchdog();
    if (platform::WaitForCloseRequest(kTimerInterval)) break;
    try {
      ReportStatus("walking");
      if (!Tick()) break;
    } catch (const CloseRequested&) {
      break;
    } catch (const std::exception&) {
      // The walk and the take-over handle their own failures; whatever still escapes (memory
      // exhaustion, say) must not end an unattended service. The next tick tries again.
    }
  }
  manager.Stopping();
  Unload();
  SetYieldObserver(nullptr);
  service_manager = nullptr;
  return 0;
}

}  // namespace plotspool
