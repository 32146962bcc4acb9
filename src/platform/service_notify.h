// Status reports to the service manager that started the service: that it is ready, that it is
// still alive (the manager's watchdog), what it is doing, and that it is stopping. Without a
// service manager every report is a no-op.
#ifndef PLOTSPOOL_PLATFORM_SERVICE_NOTIFY_H_
#define PLOTSPOOL_PLATFORM_SERVICE_NOTIFY_H_

#include <memory>
#include <string_view>

namespace plotspool::platform {

class ServiceNotifier {
 public:
  // Finds the manager the environment names and makes sure programs the service starts cannot
  // report in its name. Disabled when there is none, or no way to reach it.
  ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;
  ~ServiceNotifier();

  bool enabled() const;

  // Each report is sent without blocking and says whether it was sent: false when disabled or
  // refused by the manager (a report is never worth stopping the service for).
  bool Ready() const;
  bool Watchdog() const;
  // `text` is shown as the service's status; a control character in it (a file name may carry
  // a line break) is shown as "?", so the text can never pass for a further report.
  bool Status(std::string_view text) const;
  bool Stopping() const;

 private:
  struct Socket;
  std::unique_ptr<Socket> socket_;
};

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_SERVICE_NOTIFY_H_
