#include "platform/posix/atomic_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "base/error.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/temporary_lock.h"

namespace plotspool::platform {

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::size_t ReadAt(int fd, uint64_t offset, std::span<uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ErrorFromErrno(errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

void WriteAllAt(int fd, uint64_t offset, std::span<const uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ErrorFromErrno(errno);
    }
    done += static_cast<std::size_t>(n);
  }
}

void SyncDirectory(int dir) {
  // An O_PATH descriptor cannot be synced: open the directory itself through it.
  const UniqueFd readable(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable.valid()) ::fsync(readable.get());
}

int RenameNoReplace(int from_dir, const char* from_leaf, int to_dir, const char* to_leaf) {
  if (::renameat2(from_dir, from_leaf, to_dir, to_leaf, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return errno;
  // The file system does not know the flag. A hard link refuses an existing target atomically;
  // where links are not offered either, check first (a small window, but no other way).
  if (::linkat(from_dir, from_leaf, to_dir, to_leaf, 0) == 0) {
    ::unlinkat(from_dir, from_leaf, 0);
    return 0;
  }
  if (errno == EEXIST || errno == ENOENT) return errno;
  struct stat st;
  if (::fstatat(to_dir, to_leaf, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return ::renameat(from_dir, from_leaf, to_dir, to_leaf) == 0 ? 0 : errno;
}

AtomicReplacement::AtomicReplacement(ConfinedPath where, mode_t mode) : where_(std::move(where)) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = HiddenTemporaryName(where_.leaf);
    fd_.Reset(::openat(where_.dir.get(), name.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!fd_.valid()) {
      if (errno == EEXIST) continue;
      throw ErrorFromErrno(errno);
    }
    // A sweep took the name before the lock: make another.
    if (!LockNewTemporary(fd_.get())) continue;
    name_ = name;
    return;
  }
  fd_.Reset();
  throw RuntimeError(kFileAlreadyExists);
}

AtomicReplacement::AtomicReplacement(const std::string& target, mode_t mode)
    : AtomicReplacement(ResolveParent(target), mode) {}

AtomicReplacement::~AtomicReplacement() {
  fd_.Reset();
  if (!done_) ::unlinkat(where_.dir.get(), name_.c_str(), 0);
}

bool AtomicReplacement::TakeOwnerAndMode(const struct stat& like) {
  // Owner first: a change of owner may clear set-id bits that the mode then restores.
  if (like.st_uid != ::geteuid() || like.st_gid != ::getegid()) {
    (void)::fchown(fd_.get(), like.st_uid, like.st_gid);
  }
  return ::fchmod(fd_.get(), like.st_mode & 07777) == 0;
}

void AtomicReplacement::Commit(bool replace, struct stat* written) {
  if (::fsync(fd_.get()) != 0) throw ErrorFromErrno(errno);
  if (written != nullptr && ::fstat(fd_.get(), written) != 0) throw ErrorFromErrno(errno);
  // A failed close can mean lost data on some file systems.
  if (!fd_.Close()) throw ErrorFromErrno(errno);
  const int dir = where_.dir.get();
  const char* leaf = where_.leaf.c_str();
  const int error = replace ? (::renameat(dir, name_.c_str(), dir, leaf) == 0 ? 0 : errno)
                            : RenameNoReplace(dir, name_.c_str(), dir, leaf);
  if (error != 0) throw ErrorFromErrno(error);
  done_ = true;
  SyncDirectory(dir);
}

UniqueFd AtomicReplacement::Release() {
  done_ = true;
  return std::move(fd_);
}

}  // namespace plotspool::platform
