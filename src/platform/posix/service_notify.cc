#include "platform/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/unique_fd.h"

namespace plotspool::platform {

// The notify protocol: one short datagram per report ("READY=1", "WATCHDOG=1", "STATUS=...",
// "STOPPING=1") to the socket NOTIFY_SOCKET names.
struct ServiceNotifier::Socket {
  UniqueFd fd;
  sockaddr_un address{};
  socklen_t address_length = 0;

  bool Send(std::string_view state) const {
    return ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address),
                    address_length) == static_cast<ssize_t>(state.size());
  }
};

ServiceNotifier::ServiceNotifier() {
  const char* variable = std::getenv("NOTIFY_SOCKET");
  if (variable == nullptr) return;
  const std::string name = variable;
  ::unsetenv("NOTIFY_SOCKET");

  auto socket = std::make_unique<Socket>();
  sockaddr_un& address = socket->address;
  address.sun_family = AF_UNIX;
  // A path, or "@name" for an abstract socket.
  if (name.size() < 2 || name.size() >= sizeof(address.sun_path)) return;
  if (name[0] != '/' && name[0] != '@') return;
  std::memcpy(address.sun_path, name.data(), name.size());
  // An abstract address starts with a NUL byte and is not NUL-terminated: its length counts.
  if (name[0] == '@') address.sun_path[0] = '\0';
  socket->address_length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  socket->fd.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket->fd.valid()) socket_ = std::move(socket);
}

ServiceNotifier::~ServiceNotifier() = default;

bool ServiceNotifier::enabled() const { return socket_ != nullptr; }

bool ServiceNotifier::Ready() const { return socket_ && socket_->Send("READY=1"); }

bool ServiceNotifier::Watchdog() const { return socket_ && socket_->Send("WATCHDOG=1"); }

bool ServiceNotifier::Status(std::string_view text) const {
  if (!socket_) return false;
  // A line break would start a further assignment of the sender's choice.
  std::string message = "STATUS=";
  for (const char c : text) {
    message += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
  }
  return socket_->Send(message);
}

bool ServiceNotifier::Stopping() const { return socket_ && socket_->Send("STOPPING=1"); }

}  // namespace plotspool::platform
