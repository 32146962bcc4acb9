// The lock that marks a temporary file or folder as in use by a live process. Internal to
// src/platform/.
#ifndef PLOTSPOOL_PLATFORM_POSIX_TEMPORARY_LOCK_H_
#define PLOTSPOOL_PLATFORM_POSIX_TEMPORARY_LOCK_H_

#include <sys/file.h>
#include <sys/stat.h>

#include <string>

#include "platform/temporary_names.h"

namespace plotspool::platform {

// Locks a temporary just created exclusively (O_EXCL, mkdir) for as long as `fd` stays open; the
// kernel drops the lock when the process dies, which is how RemoveStaleTemporaries tells a crash's
// leftover from a file in use. False when such a sweep removed the name before the lock was taken:
// the caller makes a new one. Where locks are not offered the file counts as locked (no sweep can
// take it).
inline bool LockNewTemporary(int fd) {
  if (::flock(fd, LOCK_EX) != 0) return true;
  struct stat st;
  return ::fstat(fd, &st) != 0 || st.st_nlink > 0;
}

// Removes the PrivateFolder `name` in the directory `dir_fd` with everything in it when it is
// one of ours (name, owner, mode) that no live process holds; true when removed.
bool RemoveIfStalePrivateFolder(int dir_fd, const std::string& name);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_POSIX_TEMPORARY_LOCK_H_
