// The status the service reports to the service control manager, shared by the service host
// (which registers with the manager) and ServiceNotifier (which reports through it).
#ifndef PLOTSPOOL_PLATFORM_WIN32_SERVICE_STATUS_WIN32_H_
#define PLOTSPOOL_PLATFORM_WIN32_SERVICE_STATUS_WIN32_H_

#include <windows.h>

namespace plotspool::platform {

// True while the process runs under the service control manager.
bool UnderServiceManager();

// Reports `state` (SERVICE_RUNNING, SERVICE_STOP_PENDING...) to the manager; a repeated pending
// state counts as progress. False when there is no manager or it refused the report.
bool ReportServiceState(DWORD state);

// Reports the state last reported once more (a sign of life while pending).
bool ReportServiceProgress();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_WIN32_SERVICE_STATUS_WIN32_H_
