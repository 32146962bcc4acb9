#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/confined_path.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/temporary_lock.h"
#include "platform/posix/unique_fd.h"
#include "platform/temporary_files.h"

namespace plotspool::platform {
namespace {

// The transfer root of the running walk, ending in "/"; empty when none was set.
std::string transfer_root;

[[noreturn]] void ThrowErrno() { throw ErrorFromErrno(errno); }

// Opens a job file for reading without following a link at it and without blocking on a FIFO,
// a device or a writer's lease; anything but a regular file is refused, and so is a file with a
// second name: a hard link may stand for a file outside the transfer tree.
UniqueFd OpenRegularForReading(const std::string& path, struct stat& st) {
  const ConfinedPath where = ResolveParent(path);
  UniqueFd fd(::openat(where.dir.get(), where.leaf.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    // EWOULDBLOCK here means another process holds a write lease: the file is in use.
    if (errno == EWOULDBLOCK) throw RuntimeError(kPermissionDenied);
    ThrowErrno();
  }
  if (::fstat(fd.get(), &st) != 0) ThrowErrno();
  if (!S_ISREG(st.st_mode) || st.st_nlink > 1) throw RuntimeError(kPathFileAccessError);
  return fd;
}

// lstat of `path` through ResolveParent; false with errno set on failure.
bool StatEntry(const std::string& path, struct stat& st) {
  try {
    const ConfinedPath where = ResolveParent(path);
    // "dir/" names the directory itself.
    const int flags = where.leaf.empty() ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
    return ::fstatat(where.dir.get(), where.leaf.c_str(), &st, flags) == 0;
  } catch (const RuntimeError&) {
    errno = ELOOP;
    return false;
  }
}

// The copy a move or copy puts in place, written beside its target.
AtomicReplacement CopyBeside(const std::string& target) {
  // An output folder is written again only by this service: a crash's leftovers there go the
  // first time this run writes into it.
  static std::set<std::string> swept;
  if (const std::string dir = DirectoryOf(target); swept.insert(dir).second) {
    RemoveStaleTemporaries(dir);
  }
  return AtomicReplacement(target, 0600);
}

// Copies the rest of `from` to `to`, in the kernel where it can.
void CopyData(int from, int to) {
  for (;;) {
    const ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, size_t{1} << 30, 0);
    if (n == 0) return;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
        errno == EBADF) {
      break;  // not offered between these files: copy through user space
    }
    ThrowErrno();
  }
  std::vector<char> buffer(size_t{1} << 20);
  for (;;) {
    const ssize_t n = ::read(from, buffer.data(), buffer.size());
    if (n == 0) return;
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno();
    }
    if (!WriteAll(to, std::string_view(buffer.data(), static_cast<size_t>(n)))) ThrowErrno();
  }
}

// Renames `from` to `to` unless `to` exists; 0 or the errno value (EEXIST when `to` exists).
int TryRenameNoReplace(const std::string& from, const std::string& to) {
  ConfinedPath source, target;
  try {
    source = ResolveParent(from);
    target = ResolveParent(to);
  } catch (const RuntimeError&) {
    return ELOOP;
  }
  return RenameNoReplace(source.dir.get(), source.leaf.c_str(), target.dir.get(),
                         target.leaf.c_str());
}

void MoveAcrossFileSystems(const std::string& from, const std::string& to) {
  struct stat st;
  if (StatEntry(to, st)) throw RuntimeError(kFileAlreadyExists);
  UniqueFd source = OpenRegularForReading(from, st);
  AtomicReplacement copy = CopyBeside(to);
  CopyData(source.get(), copy.fd());
  ::fchmod(copy.fd(), st.st_mode & 07777);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(copy.fd(), times);
  copy.Commit(/*replace=*/false);
  const ConfinedPath origin = ResolveParent(from);
  if (::unlinkat(origin.dir.get(), origin.leaf.c_str(), 0) != 0) {
    // Two copies would be worse than none moved: take the new one back and report.
    const int saved = errno;
    RemoveFileIfExists(to);
    throw ErrorFromErrno(saved);
  }
}

}  // namespace

void SetTransferRoot(const std::string& root) {
  transfer_root = root;
  if (!transfer_root.empty() && transfer_root.back() != '/') transfer_root += '/';
}

const std::string& TransferRoot() { return transfer_root; }

ConfinedPath ResolveParent(const std::string& path) {
  ConfinedPath result;
  const auto slash = path.find_last_of('/');
  result.leaf = slash == std::string::npos ? path : path.substr(slash + 1);
  const bool below_root = !transfer_root.empty() && path.size() > transfer_root.size() &&
                          path.compare(0, transfer_root.size(), transfer_root) == 0;
  if (!below_root) {
    result.dir.Reset(::open(DirectoryOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!result.dir.valid()) ThrowErrno();
    return result;
  }
  // The root may be a link the administrator set up; every step below it must be a real
  // directory, opened one at a time so that no swap in between can redirect the next step.
  result.dir.Reset(::open(transfer_root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!result.dir.valid()) ThrowErrno();
  const std::string relative = path.substr(transfer_root.size(), slash + 1 - transfer_root.size());
  std::size_t start = 0;
  for (std::size_t end; (end = relative.find('/', start)) != std::string::npos; start = end + 1) {
    const std::string component = relative.substr(start, end - start);
    if (component.empty() || component == ".") continue;
    if (component == "..") throw RuntimeError(kPathFileAccessError);
    UniqueFd next(::openat(result.dir.get(), component.c_str(),
                           O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) ThrowErrno();  // a link here fails as "not a directory"
    result.dir = std::move(next);
  }
  if (result.leaf == "..") throw RuntimeError(kPathFileAccessError);
  return result;
}

bool NormalFileExists(const std::string& path) {
  struct stat st;
  if (!StatEntry(path, st)) return false;
  const std::string name = BaseName(path);
  // A second name means the content may also be a file outside the tree: not a job.
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && !name.empty() && name[0] != '.';
}

bool PathExists(const std::string& path) {
  struct stat st;
  return StatEntry(path, st);
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (!StatEntry(path, st)) ThrowErrno();
  return static_cast<int64_t>(st.st_size);
}

void MovePath(const std::string& from, const std::string& to) {
  const int error = TryRenameNoReplace(from, to);
  if (error == EXDEV) {
    MoveAcrossFileSystems(from, to);
  } else if (error != 0) {
    throw ErrorFromErrno(error);
  }
}

namespace {

void CopyFileTo(const std::string& from, const std::string& to, bool replace) {
  struct stat st;
  UniqueFd source = OpenRegularForReading(from, st);
  AtomicReplacement copy = CopyBeside(to);
  CopyData(source.get(), copy.fd());
  ::fchmod(copy.fd(), st.st_mode & 0777);
  copy.Commit(replace);
}

}  // namespace

void CopyFileReplacing(const std::string& from, const std::string& to) {
  CopyFileTo(from, to, /*replace=*/true);
}

void CopyFileNew(const std::string& from, const std::string& to) {
  CopyFileTo(from, to, /*replace=*/false);
}

void MoveOver(const std::string& from, const std::string& to) {
  {
    const ConfinedPath source = ResolveParent(from);
    const ConfinedPath target = ResolveParent(to);
    if (::renameat(source.dir.get(), source.leaf.c_str(), target.dir.get(), target.leaf.c_str()) ==
        0) {
      SyncDirectory(target.dir.get());
      return;
    }
    if (errno != EXDEV) ThrowErrno();
  }
  CopyFileReplacing(from, to);
  RemoveFileIfExists(from);
}

void RemoveFile(const std::string& path) {
  const ConfinedPath where = ResolveParent(path);
  if (::unlinkat(where.dir.get(), where.leaf.c_str(), 0) != 0) ThrowErrno();
  ForgetTemporaryName(path);
}

void TrialOpen(const std::string& path) {
  struct stat st;
  UniqueFd fd = OpenRegularForReading(path, st);
  // A read lease is refused while any process has the file open for writing: the kernel's own
  // answer to "is the sender still writing?".
  if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
    ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
  } else if (errno == EAGAIN || errno == EBUSY) {
    throw RuntimeError(kPermissionDenied);
  }
  // EINVAL (file system without leases) and EPERM/EACCES (no lease capability): the open decides.

  // Writers that take an advisory write lock are held up whether or not the lease test ran.
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  int rc = ::fcntl(fd.get(), F_OFD_GETLK, &lock);
  if (rc != 0 && errno == EINVAL) {
    lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    rc = ::fcntl(fd.get(), F_GETLK, &lock);
  }
  if (rc == 0 && lock.l_type != F_UNLCK) throw RuntimeError(kPermissionDenied);
}

std::string ReadFileStart(const std::string& path, std::size_t count) {
  struct stat st;
  UniqueFd fd = OpenRegularForReading(path, st);
  std::string data(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd.get(), data.data() + done, count - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno();
    }
    done += static_cast<std::size_t>(n);
  }
  data.resize(done);
  return data;
}

void ClearAttributes(const std::string& path) {
  const ConfinedPath where = ResolveParent(path);
  // Changed through a descriptor of exactly the checked file, never by name a second time.
  UniqueFd fd(::openat(where.dir.get(), where.leaf.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ELOOP) return;  // a link
    ThrowErrno();
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) ThrowErrno();
  if (!S_ISREG(st.st_mode) || st.st_nlink > 1 || (st.st_mode & S_IWUSR) != 0) return;
  if (::fchmod(fd.get(), (st.st_mode & 07777) | S_IWUSR) != 0) ThrowErrno();
}

bool MakeSureDirectoryPathExists(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (path[slash - 1] == '/') continue;  // "a//b": the prefix was handled already
    const std::string prefix = path.substr(0, slash);
    if (::mkdir(prefix.c_str(), 0777) == 0) continue;
    if (errno != EEXIST) return false;
    struct stat st;
    if (::stat(prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  }
  return true;
}

bool FolderWritable(const std::string& path) {
  if (path.empty()) return false;
  std::filesystem::path folder = ResolvedPath(path);
  for (;;) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
      return S_ISDIR(info.st_mode) && ::access(folder.c_str(), W_OK | X_OK) == 0;
    }
    if (errno != ENOENT || !folder.has_parent_path() || folder.parent_path() == folder) {
      return false;
    }
    folder = folder.parent_path();
  }
}

uint64_t FreeSpace(const std::string& dir) {
  struct statvfs vfs;
  if (::statvfs(dir.c_str(), &vfs) != 0) ThrowErrno();
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

uint64_t FileSystemCapacity(const std::string& dir) {
  struct statvfs vfs;
  if (::statvfs(dir.c_str(), &vfs) != 0) ThrowErrno();
  // The blocks reserved for the superuser are never ours to fill.
  const uint64_t reserved = vfs.f_bfree - vfs.f_bavail;
  return (static_cast<uint64_t>(vfs.f_blocks) - reserved) * vfs.f_frsize;
}

std::string ExecutablePath() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) ThrowErrno();
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::string ResolvedPath(const std::string& path) {
  namespace fs = std::filesystem;
  if (path.empty()) return {};
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  if (error) absolute = fs::path(path);
  fs::path resolved = fs::weakly_canonical(absolute, error);
  // A component that may not be looked at (no search permission): the lexical form is the best
  // there is, and what the walk itself would reach.
  if (error || resolved.empty()) resolved = absolute.lexically_normal();
  std::string text = resolved.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::string LocalTimeStamp14() {
  const time_t now = ::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  char text[16];
  ::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  return text;
}

}  // namespace plotspool::platform
