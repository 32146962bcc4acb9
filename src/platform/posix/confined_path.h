// A path split into an open directory and the name of one entry in it, so that every later step
// acts on exactly that directory. Internal to src/platform/.
#ifndef PLOTSPOOL_PLATFORM_POSIX_CONFINED_PATH_H_
#define PLOTSPOOL_PLATFORM_POSIX_CONFINED_PATH_H_

#include <string>

#include "base/path_strings.h"
#include "platform/posix/unique_fd.h"

namespace plotspool::platform {

struct ConfinedPath {
  UniqueFd dir;      // the directory holding the entry (an O_PATH descriptor)
  std::string leaf;  // the entry's name in it, never containing "/"
};

// Opens the directory part of `path`. Below the transfer root (SetTransferRoot) no component is
// reached through a symbolic link and ".." is refused, so a printer directory swapped for a link
// leads nowhere; the root itself and everything above it resolve as usual. Throws RuntimeError
// (76 when a component is a link or missing, 75 for "..", else the system's error).
ConfinedPath ResolveParent(const std::string& path);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_POSIX_CONFINED_PATH_H_
