#include "platform/service_host.h"

#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cctype>
#include <exception>
#include <mutex>
#include <string>

#include "platform/close_request.h"
#include "platform/win32/close_request_win32.h"
#include "platform/win32/service_status_win32.h"
#include "platform/win32/unique_handle.h"

namespace plotspool::platform {
namespace {

// How long the manager is told to wait for the next report while starting or stopping: a tick
// in the middle of a take-over may take this long to notice the request.
constexpr DWORD kPendingWaitHint = 30000;

// The manager calls ServiceMain with nothing of ours: what it runs lies here for the one run.
struct ServiceRun {
  const std::function<int()>* body = nullptr;
  int exit_status = 0;
  std::exception_ptr failure;
};
ServiceRun service_run;

std::mutex status_mutex;
SERVICE_STATUS_HANDLE status_handle = nullptr;
SERVICE_STATUS status{};

bool ReportLocked() {
  return status_handle != nullptr && SetServiceStatus(status_handle, &status) != 0;
}

DWORD WINAPI OnServiceControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      RaiseCloseRequest();
      ReportServiceState(SERVICE_STOP_PENDING);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// Runs on a thread the dispatcher makes; main's thread waits in the dispatcher meanwhile.
void WINAPI ServiceMain(DWORD argc, char** argv) {
  {
    const std::lock_guard lock(status_mutex);
    status_handle =
        RegisterServiceCtrlHandlerExA(argc > 0 ? argv[0] : "", OnServiceControl, nullptr);
    if (status_handle == nullptr) {
      service_run.exit_status = 1;
      return;
    }
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  }
  IgnoreLogoffForService();
  ReportServiceState(SERVICE_START_PENDING);
  try {
    service_run.exit_status = (*service_run.body)();
  } catch (...) {
    service_run.failure = std::current_exception();
    service_run.exit_status = 1;
  }
  const std::lock_guard lock(status_mutex);
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwControlsAccepted = 0;
  status.dwCheckPoint = 0;
  status.dwWaitHint = 0;
  status.dwWin32ExitCode = service_run.exit_status == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = static_cast<DWORD>(service_run.exit_status);
  ReportLocked();
  // The manager may end the process from here on: nothing reports after this.
  status_handle = nullptr;
}

// True when the service control manager started this process: it starts every service itself,
// as its own child. Asked first because a dispatcher started by hand does not always fail: under
// Wine it waits for ever on the pipe of the service started last.
bool StartedByServiceManager() {
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return true;  // cannot tell: the dispatcher decides
  const auto find = [&](DWORD pid, PROCESSENTRY32& found) {
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot.get(), &entry); more;
         more = Process32Next(snapshot.get(), &entry)) {
      if (entry.th32ProcessID == pid) {
        found = entry;
        return true;
      }
    }
    return false;
  };
  PROCESSENTRY32 self{};
  PROCESSENTRY32 parent{};
  if (!find(GetCurrentProcessId(), self) || !find(self.th32ParentProcessID, parent)) return false;
  std::string name = parent.szExeFile;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name == "services.exe";
}

}  // namespace

bool UnderServiceManager() {
  const std::lock_guard lock(status_mutex);
  return status_handle != nullptr;
}

bool ReportServiceState(DWORD state) {
  const std::lock_guard lock(status_mutex);
  if (status_handle == nullptr) return false;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  status.dwCheckPoint = pending && status.dwCurrentState == state ? status.dwCheckPoint + 1 : 0;
  status.dwCurrentState = state;
  status.dwWaitHint = pending ? kPendingWaitHint : 0;
  // A stop asked for while starting waits for the first tick; while running it is taken at once.
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = NO_ERROR;
  return ReportLocked();
}

bool ReportServiceProgress() {
  const std::lock_guard lock(status_mutex);
  if (status_handle == nullptr) return false;
  if (status.dwCurrentState == SERVICE_START_PENDING ||
      status.dwCurrentState == SERVICE_STOP_PENDING) {
    ++status.dwCheckPoint;
  }
  return ReportLocked();
}

int RunAsService(const std::function<int()>& body) {
  service_run.body = &body;
  char name[] = "plotspool";
  const SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  // Started by hand or from a console the service runs as a plain program; the dispatcher then
  // fails (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) where it does not hang.
  if (!StartedByServiceManager() || !StartServiceCtrlDispatcherA(table)) return body();
  if (service_run.failure) std::rethrow_exception(service_run.failure);
  return service_run.exit_status;
}

}  // namespace plotspool::platform
