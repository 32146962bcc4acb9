// Status reports to the service manager that started the service: the notify protocol, one short
// datagram ("READY=1", "WATCHDOG=1", "STATUS=...", "STOPPING=1") to the socket named in the
// environment. Without a service manager every report is a no-op.
#ifndef PLOTSPOOL_PLATFORM_SERVICE_NOTIFY_H_
#define PLOTSPOOL_PLATFORM_SERVICE_NOTIFY_H_

#include <string_view>

#include "platform/unique_fd.h"

namespace plotspool::platform {

class ServiceNotifier {
 public:
  // Takes the socket address from NOTIFY_SOCKET (a path, or "@name" for an abstract socket) and
  // removes the variable, so programs the service starts cannot report in its name. Disabled
  // when the variable is unset, malformed or no socket can be made.
  ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  bool enabled() const { return fd_.valid(); }

  // Sends `state` as one datagram without blocking. True when it was sent; false when disabled
  // or the manager's socket refused it (a report is never worth stopping the service for).
  bool Send(std::string_view state) const;

 private:
  UniqueFd fd_;
  unsigned address_length_ = 0;
  alignas(8) char address_[128] =
      {};  // a struct sockaddr_un, kept opaque to keep POSIX out of the header
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_SERVICE_NOTIFY_H_
