#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "platform/temporary_lock.h"
#include "platform/unique_fd.h"
#include "util/error.h"

namespace plotspool::platform {
namespace {

[[noreturn]] void ThrowErrno() { throw ErrorFromErrno(errno); }

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Opens a job file for reading without following a link at it and without blocking on a FIFO,
// a device or a writer's lease; anything but a regular file is refused.
UniqueFd OpenRegularForReading(const std::string& path, struct stat& st) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    // EWOULDBLOCK here means another process holds a write lease: the file is in use.
    if (errno == EWOULDBLOCK) throw RuntimeError(kPermissionDenied);
    ThrowErrno();
  }
  if (::fstat(fd.get(), &st) != 0) ThrowErrno();
  if (!S_ISREG(st.st_mode)) throw RuntimeError(kPathFileAccessError);
  return fd;
}

constexpr char kOwnTemporaryPrefix[] = ".plotspool-";

// A hidden temporary beside `target`, removed again unless Keep() is called. Hidden, so that
// the transfer-tree walk never takes a half-written copy for a job.
class TemporaryBeside {
 public:
  explicit TemporaryBeside(const std::string& target) {
    const std::string dir = DirectoryOf(target);
    // An output folder is written again only by this service: a crash's leftovers there go the
    // first time this run writes into it.
    static std::set<std::string> swept;
    if (swept.insert(dir).second) RemoveStaleTemporaries(dir);
    do {
      path_ = dir + "/" + kOwnTemporaryPrefix + "XXXXXX";
      fd_.Reset(::mkostemp(path_.data(), O_CLOEXEC));
      if (!fd_.valid()) ThrowErrno();
    } while (!LockNewTemporary(fd_.get()));
  }
  TemporaryBeside(const TemporaryBeside&) = delete;
  TemporaryBeside& operator=(const TemporaryBeside&) = delete;
  ~TemporaryBeside() {
    fd_.Reset();
    if (!kept_) ::unlink(path_.c_str());
  }

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  UniqueFd fd_;
  bool kept_ = false;
};

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno();
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
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
    WriteAll(to, buffer.data(), static_cast<size_t>(n));
  }
}

void SyncDirectoryOf(const std::string& path) {
  UniqueFd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());  // best effort: the data itself is already synced
}

// Renames `from` to `to` unless `to` exists; 0 or the errno value (EEXIST when `to` exists).
int TryRenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return errno;
  // The file system does not know the flag. A hard link refuses an existing target atomically;
  // where links are not offered either, check first (a small window, but no other way).
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return 0;
  }
  if (errno == EEXIST || errno == ENOENT) return errno;
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void RenameNoReplace(const std::string& from, const std::string& to) {
  if (const int error = TryRenameNoReplace(from, to); error != 0) throw ErrorFromErrno(error);
}

void MoveAcrossFileSystems(const std::string& from, const std::string& to) {
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) throw RuntimeError(kFileAlreadyExists);
  UniqueFd source = OpenRegularForReading(from, st);
  TemporaryBeside copy(to);
  CopyData(source.get(), copy.fd());
  ::fchmod(copy.fd(), st.st_mode & 07777);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(copy.fd(), times);
  if (::fsync(copy.fd()) != 0) ThrowErrno();
  RenameNoReplace(copy.path(), to);
  copy.Keep();
  SyncDirectoryOf(to);
  if (::unlink(from.c_str()) != 0) {
    // Two copies would be worse than none moved: take the new one back and report.
    const int saved = errno;
    ::unlink(to.c_str());
    throw ErrorFromErrno(saved);
  }
}

}  // namespace

bool NormalFileExists(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  const std::string name = BaseName(path);
  return S_ISREG(st.st_mode) && !name.empty() && name[0] != '.';
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) ThrowErrno();
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

void CopyFileReplacing(const std::string& from, const std::string& to) {
  struct stat st;
  UniqueFd source = OpenRegularForReading(from, st);
  TemporaryBeside copy(to);
  CopyData(source.get(), copy.fd());
  ::fchmod(copy.fd(), st.st_mode & 0777);
  if (::fsync(copy.fd()) != 0) ThrowErrno();
  if (::rename(copy.path().c_str(), to.c_str()) != 0) ThrowErrno();
  copy.Keep();
  SyncDirectoryOf(to);
}

void MoveOver(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) {
    SyncDirectoryOf(to);
    return;
  }
  if (errno != EXDEV) ThrowErrno();
  CopyFileReplacing(from, to);
  RemoveFileIfExists(from);
}

// Names made by CreateTempFileName, each held open and locked until this process removes it.
std::map<std::string, UniqueFd>& HeldTempNames() {
  static std::map<std::string, UniqueFd> held;
  return held;
}

void RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) ThrowErrno();
  HeldTempNames().erase(path);
}

bool RemoveFileIfExists(const std::string& path) {
  const bool removed = ::unlink(path.c_str()) == 0;
  HeldTempNames().erase(path);
  return removed;
}

std::string CreateTempFileName(const std::string& dir, const std::string& prefix) {
  std::string base = dir;
  if (base.empty() || base.back() != '/') base += '/';
  base += prefix;
  // A random start keeps two processes from walking the same sequence of names.
  std::random_device random;
  const unsigned start = random() & 0xFFFF;
  for (unsigned i = 0; i < 0x10000; ++i) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "%04X", (start + i) & 0xFFFF);
    std::string path = base + hex + ".tmp";
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.valid()) {
      if (!LockNewTemporary(fd.get())) continue;
      HeldTempNames()[path] = std::move(fd);
      return path;
    }
    if (errno != EEXIST) ThrowErrno();
  }
  throw RuntimeError(kFileAlreadyExists);
}

namespace {

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// The CreateTempFileName name that `name` is or belongs to ("~VB1A2F.tmp" for itself and for
// "~VB1A2F.tmp.zip", "1A2F.tmp" for "1A2F.tmp.bmp"); empty for any other name.
std::string TempNameOf(const std::string& name) {
  std::string base = name;
  if (base.ends_with(".tmp.zip") || base.ends_with(".tmp.bmp")) base.resize(base.size() - 4);
  std::string_view rest = base;
  if (rest.starts_with("~VB")) rest.remove_prefix(3);
  if (rest.size() != 8 || !rest.ends_with(".tmp")) return {};
  for (size_t i = 0; i < 4; ++i) {
    if (!IsUpperHex(rest[i])) return {};
  }
  return base;
}

// Opens `name` in `dir_fd` when it is a regular file of this user; invalid otherwise.
UniqueFd OpenOwnRegular(int dir_fd, const std::string& name, struct stat& st) {
  UniqueFd fd(
      ::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.valid() &&
      (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())) {
    fd.Reset();
  }
  return fd;
}

// True when no live process holds the lock of LockNewTemporary on `fd`.
bool Unheld(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }

// Removes `name` from `dir_fd` when it is a stale temporary of ours (see RemoveStaleTemporaries).
bool RemoveIfStale(int dir_fd, const std::string& name) {
  struct stat st;
  if (name.starts_with(kOwnTemporaryPrefix)) {
    const UniqueFd fd = OpenOwnRegular(dir_fd, name, st);
    return fd.valid() && Unheld(fd.get()) && ::unlinkat(dir_fd, name.c_str(), 0) == 0;
  }
  const std::string temp_name = TempNameOf(name);
  if (temp_name.empty()) return false;
  if (temp_name == name) {
    // Ours are never written to, which keeps other programs' files of the same pattern safe.
    const UniqueFd fd = OpenOwnRegular(dir_fd, name, st);
    return fd.valid() && st.st_size == 0 && Unheld(fd.get()) &&
           ::unlinkat(dir_fd, name.c_str(), 0) == 0;
  }
  // A companion is in use while its name is held.
  const UniqueFd fd = OpenOwnRegular(dir_fd, name, st);
  if (!fd.valid()) return false;
  struct stat held_st;
  const UniqueFd held = OpenOwnRegular(dir_fd, temp_name, held_st);
  if (held.valid() && !Unheld(held.get())) return false;
  return ::unlinkat(dir_fd, name.c_str(), 0) == 0;
}

}  // namespace

int RemoveStaleTemporaries(const std::string& dir) {
  if (dir.empty()) return 0;
  const UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir_fd.valid()) return 0;
  UniqueFd listing(::dup(dir_fd.get()));
  DIR* stream = listing.valid() ? ::fdopendir(listing.get()) : nullptr;
  if (stream == nullptr) return 0;
  listing.Release();  // the stream owns it now
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(stream)) names.emplace_back(entry->d_name);
  ::closedir(stream);
  // Companions first, while the names they belong to still tell whether they are in use.
  std::stable_partition(names.begin(), names.end(),
                        [](const std::string& name) { return TempNameOf(name) != name; });
  int removed = 0;
  for (const std::string& name : names) removed += RemoveIfStale(dir_fd.get(), name) ? 1 : 0;
  return removed;
}

bool RemoveStaleTemporary(const std::string& path) {
  const std::string name = BaseName(path);
  if (!name.starts_with(kOwnTemporaryPrefix)) return false;
  const UniqueFd dir_fd(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir_fd.valid() && RemoveIfStale(dir_fd.get(), name);
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
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) ThrowErrno();
  if (!S_ISREG(st.st_mode) || (st.st_mode & S_IWUSR) != 0) return;
  if (::fchmodat(AT_FDCWD, path.c_str(), (st.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW) != 0)
    ThrowErrno();
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

uint64_t FreeSpace(const std::string& dir) {
  struct statvfs vfs;
  if (::statvfs(dir.c_str(), &vfs) != 0) ThrowErrno();
  return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
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

std::string LocalTimeStamp14() {
  const time_t now = ::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  char text[16];
  ::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  return text;
}

struct DirectoryEnumeration::Handle {
  DIR* dir = nullptr;
};

DirectoryEnumeration::DirectoryEnumeration() : handle_(std::make_unique<Handle>()) {}

DirectoryEnumeration::~DirectoryEnumeration() { Close(); }

bool DirectoryEnumeration::Open(const std::string& dir, bool follow_link) {
  Close();
  std::string name = dir;
  int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;
  if (!follow_link) {
    // A trailing "/" would make the kernel follow a link at the last component regardless.
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    flags |= O_NOFOLLOW;
  }
  UniqueFd fd(::open(name.c_str(), flags));
  if (!fd.valid()) return false;
  handle_->dir = ::fdopendir(fd.get());
  if (handle_->dir == nullptr) return false;
  fd.Release();
  return true;
}

bool DirectoryEnumeration::Next(DirectoryEntry& entry) {
  if (handle_->dir == nullptr) return false;
  for (;;) {
    errno = 0;
    const struct dirent* item = ::readdir(handle_->dir);
    if (item == nullptr) return false;
    struct stat st;
    if (::fstatat(::dirfd(handle_->dir), item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    entry.name = item->d_name;
    uint32_t word = 0;
    if (S_ISLNK(st.st_mode)) {
      word = kAttributeLink;
    } else if (S_ISDIR(st.st_mode)) {
      word = kAttributeDirectory;
    } else if (S_ISREG(st.st_mode)) {
      word = kAttributeArchive;
    } else {
      word = kAttributeSystem;
    }
    if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) word |= kAttributeReadOnly;
    if (entry.name[0] == '.' && entry.name != "." && entry.name != "..") word |= kAttributeHidden;
    entry.attributes = word;
    return true;
  }
}

void DirectoryEnumeration::Close() {
  if (handle_ && handle_->dir != nullptr) {
    ::closedir(handle_->dir);
    handle_->dir = nullptr;
  }
}

}  // namespace plotspool::platform
