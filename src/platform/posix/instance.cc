#include "platform/instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>

#include "platform/posix/unique_fd.h"

namespace plotspool::platform {

// An abstract Unix socket: it lives only as long as its descriptor, needs no file on disk and
// cannot be left behind by a crash.
InstanceLock::InstanceLock(const std::string& executable_path) {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return;
  char name[64];
  const int length = std::snprintf(name, sizeof name, "plotspool-instance-%016zx",
                                   std::hash<std::string>{}(executable_path));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Abstract names start with a NUL byte and are not terminated.
  std::memcpy(address.sun_path + 1, name, static_cast<size_t>(length));
  const socklen_t size =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(length));
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), size) != 0) return;
  lock_ = OwnHandle(std::move(fd));
}

}  // namespace plotspool::platform
