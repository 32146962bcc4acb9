// The service's life under the system's service manager, where the system starts services
// through an entry of its own rather than through main alone.
#ifndef PLOTSPOOL_PLATFORM_SERVICE_HOST_H_
#define PLOTSPOOL_PLATFORM_SERVICE_HOST_H_

#include <functional>

namespace plotspool::platform {

// Runs `body` (the service) and returns its exit status. Where the service manager started the
// process, `body` runs under it: its stop requests become the close request and ServiceNotifier
// reports to it. Started by hand, `body` simply runs.
int RunAsService(const std::function<int()>& body);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_SERVICE_HOST_H_
