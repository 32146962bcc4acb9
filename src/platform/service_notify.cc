#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

namespace plotspool::platform {

static_assert(sizeof(sockaddr_un) <= 128 && alignof(sockaddr_un) <= 8);

ServiceNotifier::ServiceNotifier() {
  const char* variable = std::getenv("NOTIFY_SOCKET");
  if (variable == nullptr) return;
  const std::string name = variable;
  unsetenv("NOTIFY_SOCKET");

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.size() < 2 || name.size() >= sizeof(address.sun_path)) return;
  if (name[0] != '/' && name[0] != '@') return;
  std::memcpy(address.sun_path, name.data(), name.size());
  // An abstract address starts with a NUL byte and is not NUL-terminated: its length counts.
  if (name[0] == '@') address.sun_path[0] = '\0';
  address_length_ = offsetof(sockaddr_un, sun_path) + name.size();
  std::memcpy(address_, &address, sizeof(address));

  fd_.Reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
}

bool ServiceNotifier::Send(std::string_view state) const {
  if (!fd_.valid()) return false;
  return sendto(fd_.get(), state.data(), state.size(), MSG_NOSIGNAL,
                reinterpret_cast<const sockaddr*>(address_),
                static_cast<socklen_t>(address_length_)) == static_cast<ssize_t>(state.size());
}

}  // namespace plotspool::platform
