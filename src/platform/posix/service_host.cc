#include "platform/service_host.h"

namespace plotspool::platform {

// The service manager here starts the executable like any program and is reached through
// ServiceNotifier alone.
int RunAsService(const std::function<int()>& body) { return body(); }

}  // namespace plotspool::platform
