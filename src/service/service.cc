#include "service/service.h"

#include <chrono>
#include <exception>
#include <filesystem>

#include "config/settings_file.h"
#include "intake/scan_directory.h"
#include "platform/close_request.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/process.h"
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

// The timer is one-shot: the next tick starts this long after the end of the previous one.
constexpr std::chrono::milliseconds kTimerInterval(1000);

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
  ReadGlobalSettings();
  if (ServiceSettings.ProgrammEnde == "1") return false;
  // The walk may append a separator to the root it is given; the next tick reads it afresh.
  ScanDirectory(ServiceSettings.UebergabePfad, "*", true);
  // Notices and kill commands are not waited for; collect them so none lingers as a zombie.
  platform::ReapFinishedChildren();
  return !bStopScan;
}

void Unload() {
  bStopScan = true;
  // A stop request stops exactly one run: the next start must not stop again.
  WriteProfileString("Global", "ProgrammEnde", "0", IniFile);
}

int Main() {
  const std::string executable = platform::ExecutablePath();
  const platform::InstanceLock instance(executable);
  if (!instance.acquired()) return 0;

  platform::InstallCloseRequestSignals();
  SetAppPaths(executable);
  // What a killed run left behind; files another live process uses stay.
  platform::RemoveStaleTemporaries(GetTempDir());
  platform::RemoveStaleTemporaries(AppPath);
  ReadGlobalSettings();

  for (;;) {
    if (platform::WaitForCloseRequest(kTimerInterval)) break;
    try {
      if (!Tick()) break;
    } catch (const CloseRequested&) {
      break;
    } catch (const std::exception&) {
      // The walk and the take-over handle their own failures; whatever still escapes (memory
      // exhaustion, say) must not end an unattended service. The next tick tries again.
    }
  }
  Unload();
  return 0;
}

}  // namespace plotspool
