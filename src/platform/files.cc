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
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "platform/confined_path.h"
#include "platform/temporary_lock.h"
#include "platform/unique_fd.h"
#include "util/error.h"

namespace plotspool::platform {
namespace {

// The transfer root of the running walk, ending in "/"; empty when none was set.
std::string transfer_root;

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

constexpr char kOwnTemporaryPrefix[] = ".plotspool-";

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

// Best effort: the data itself is already synced.
void SyncDirectory(int dir) {
  UniqueFd readable(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable.valid()) ::fsync(readable.get());
}

// A hidden temporary beside `target`, removed again unless Keep() is called. Hidden, so that
// the transfer-tree walk never takes a half-written copy for a job.
class TemporaryBeside {
 public:
  explicit TemporaryBeside(const std::string& target) : where_(ResolveParent(target)) {
    // An output folder is written again only by this service: a crash's leftovers there go the
    // first time this run writes into it.
    static std::set<std::string> swept;
    if (const std::string dir = DirectoryOf(target); swept.insert(dir).second) {
      RemoveStaleTemporaries(dir);
    }
    std::random_device random;
    for (int attempt = 0; attempt < 100 && !fd_.valid(); ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "%s%08x", kOwnTemporaryPrefix,
                    static_cast<unsigned>(random()));
      fd_.Reset(::openat(where_.dir.get(), name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         0600));
      if (fd_.valid() && !LockNewTemporary(fd_.get())) {
        fd_.Reset();  // a sweep took the name before the lock: make another
        continue;
      }
      if (fd_.valid()) name_ = name;
      if (!fd_.valid() && errno != EEXIST) ThrowErrno();
    }
    if (!fd_.valid()) throw RuntimeError(kFileAlreadyExists);
  }
  TemporaryBeside(const TemporaryBeside&) = delete;
  TemporaryBeside& operator=(const TemporaryBeside&) = delete;
  ~TemporaryBeside() {
    fd_.Reset();
    if (!kept_) ::unlinkat(where_.dir.get(), name_.c_str(), 0);
  }

  int fd() const { return fd_.get(); }
  // Renames the copy to the target's name in the same directory; `replace` false keeps an
  // existing target (58).
  void RenameToTarget(bool replace) {
    const unsigned flags = replace ? 0 : RENAME_NOREPLACE;
    if (::renameat2(where_.dir.get(), name_.c_str(), where_.dir.get(), where_.leaf.c_str(),
                    flags) != 0) {
      ThrowErrno();
    }
    kept_ = true;
    SyncDirectory(where_.dir.get());
  }

 private:
  ConfinedPath where_;
  std::string name_;
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

// Renames `from` to `to` unless `to` exists; 0 or the errno value (EEXIST when `to` exists).
int TryRenameNoReplace(const std::string& from, const std::string& to) {
  ConfinedPath source, target;
  try {
    source = ResolveParent(from);
    target = ResolveParent(to);
  } catch (const RuntimeError&) {
    return ELOOP;
  }
  const int sd = source.dir.get(), td = target.dir.get();
  const char* sl = source.leaf.c_str();
  const char* tl = target.leaf.c_str();
  if (::renameat2(sd, sl, td, tl, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL) return errno;
  // The file system does not know the flag. A hard link refuses an existing target atomically;
  // where links are not offered either, check first (a small window, but no other way).
  if (::linkat(sd, sl, td, tl, 0) == 0) {
    ::unlinkat(sd, sl, 0);
    return 0;
  }
  if (errno == EEXIST || errno == ENOENT) return errno;
  struct stat st;
  if (::fstatat(td, tl, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return ::renameat(sd, sl, td, tl) == 0 ? 0 : errno;
}

void MoveAcrossFileSystems(const std::string& from, const std::string& to) {
  struct stat st;
  if (StatEntry(to, st)) throw RuntimeError(kFileAlreadyExists);
  UniqueFd source = OpenRegularForReading(from, st);
  TemporaryBeside copy(to);
  CopyData(source.get(), copy.fd());
  ::fchmod(copy.fd(), st.st_mode & 07777);
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  ::futimens(copy.fd(), times);
  if (::fsync(copy.fd()) != 0) ThrowErrno();
  copy.RenameToTarget(/*replace=*/false);
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

void CopyFileReplacing(const std::string& from, const std::string& to) {
  struct stat st;
  UniqueFd source = OpenRegularForReading(from, st);
  TemporaryBeside copy(to);
  CopyData(source.get(), copy.fd());
  ::fchmod(copy.fd(), st.st_mode & 0777);
  if (::fsync(copy.fd()) != 0) ThrowErrno();
  copy.RenameToTarget(/*replace=*/true);
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

// Names made by CreateTempFileName, each held open and locked until this process removes it.
std::map<std::string, UniqueFd>& HeldTempNames() {
  static std::map<std::string, UniqueFd> held;
  return held;
}

void RemoveFile(const std::string& path) {
  const ConfinedPath where = ResolveParent(path);
  if (::unlinkat(where.dir.get(), where.leaf.c_str(), 0) != 0) ThrowErrno();
  HeldTempNames().erase(path);
}

bool RemoveFileIfExists(const std::string& path) {
  try {
    RemoveFile(path);
    return true;
  } catch (const RuntimeError&) {
    HeldTempNames().erase(path);
    return false;
  }
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
  UniqueFd fd;
  if (follow_link) {
    fd.Reset(::open(name.c_str(), flags));
  } else {
    try {
      const ConfinedPath where = ResolveParent(name);
      fd.Reset(::openat(where.dir.get(), where.leaf.c_str(), flags));
    } catch (const RuntimeError&) {
      return false;
    }
  }
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
