#include "platform/service_notify.h"

#include <windows.h>

#include "platform/win32/service_status_win32.h"

namespace plotspool::platform {

// Reports go to the service control manager through the service host; this only marks that
// there is one.
struct ServiceNotifier::Socket {};

ServiceNotifier::ServiceNotifier() {
  if (UnderServiceManager()) socket_ = std::make_unique<Socket>();
}

ServiceNotifier::~ServiceNotifier() = default;

bool ServiceNotifier::enabled() const { return socket_ != nullptr; }

bool ServiceNotifier::Ready() const { return socket_ && ReportServiceState(SERVICE_RUNNING); }

bool ServiceNotifier::Watchdog() const { return socket_ && ReportServiceProgress(); }

// The manager shows a state, never a text.
bool ServiceNotifier::Status(std::string_view) const { return false; }

bool ServiceNotifier::Stopping() const {
  return socket_ && ReportServiceState(SERVICE_STOP_PENDING);
}

}  // namespace plotspool::platform
