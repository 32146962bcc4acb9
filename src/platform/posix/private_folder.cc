#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string_view>

#include "base/error.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/temporary_lock.h"
#include "platform/posix/unique_fd.h"
#include "platform/temporary_files.h"

namespace plotspool::platform {
namespace {

constexpr std::string_view kFolderPrefix = ".plotspool-job-";

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// Removes everything inside the open folder `dir` without following a link: a link is removed as
// an entry, a sub-folder is entered through O_NOFOLLOW and emptied first. False when something
// stayed.
bool EmptyFolder(int dir) {
  UniqueFd listing(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* stream = listing.valid() ? ::fdopendir(listing.get()) : nullptr;
  if (stream == nullptr) return false;
  listing.Release();  // the stream owns it now
  bool emptied = true;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (::unlinkat(dir, entry->d_name, 0) == 0) continue;
    const UniqueFd sub(
        ::openat(dir, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    emptied = sub.valid() && EmptyFolder(sub.get()) &&
              ::unlinkat(dir, entry->d_name, AT_REMOVEDIR) == 0 && emptied;
  }
  ::closedir(stream);
  return emptied;
}

}  // namespace

PrivateFolder::PrivateFolder(const std::string& dir) {
  std::string base = dir;
  if (base.empty() || base.back() != '/') base += '/';
  const UniqueFd parent(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.valid()) throw ErrorFromErrno(errno);
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%08X", kFolderPrefix.data(),
                  static_cast<unsigned>(random()));
    if (::mkdirat(parent.get(), name, 0700) != 0) {
      if (errno == EEXIST) continue;
      throw ErrorFromErrno(errno);
    }
    UniqueFd folder(::openat(parent.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    // A sweep may have taken the empty folder before the lock: make another.
    if (!folder.valid() || !LockNewTemporary(folder.get())) continue;
    // Exactly owner-only whatever the umask, which is part of how a sweep knows it.
    if (::fchmod(folder.get(), 0700) != 0) {
      const int saved = errno;
      ::unlinkat(parent.get(), name, AT_REMOVEDIR);
      throw ErrorFromErrno(saved);
    }
    path_ = base + name + "/";
    folder_ = OwnHandle(std::move(folder));
    return;
  }
  throw RuntimeError(kFileAlreadyExists);
}

PrivateFolder::~PrivateFolder() {
  EmptyFolder(FdOf(folder_));
  // Removed while still locked, so no sweep can take it half-emptied.
  ::rmdir(path_.c_str());
}

bool RemoveIfStalePrivateFolder(int dir_fd, const std::string& name) {
  const std::string_view rest = std::string_view(name).substr(
      name.starts_with(kFolderPrefix) ? kFolderPrefix.size() : name.size());
  if (rest.size() != 8) return false;
  for (const char c : rest) {
    if (!IsHexDigit(c)) return false;
  }
  const UniqueFd folder(
      ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!folder.valid() || ::fstat(folder.get(), &st) != 0 || st.st_uid != ::geteuid() ||
      (st.st_mode & 07777) != 0700 || ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  return EmptyFolder(folder.get()) && ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR) == 0;
}

}  // namespace plotspool::platform
