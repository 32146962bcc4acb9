#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "platform/posix/confined_path.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/temporary_lock.h"
#include "platform/posix/unique_fd.h"

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
  TemporaryBeside copy(to);
  CopyData(source.get(), copy.fd());
  ::fchmod(copy.fd(), st.st_mode & 0777);
  if (::fsync(copy.fd()) != 0) ThrowErrno();
  copy.RenameToTarget(replace);
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

namespace {

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// True when `name` is one CreateTempFileName makes: "~VB" or no prefix, four hex digits, ".tmp".
bool IsTempFileName(std::string_view name) {
  if (name.starts_with("~VB")) name.remove_prefix(3);
  if (name.size() != 8 || !name.ends_with(".tmp")) return false;
  return std::all_of(name.begin(), name.begin() + 4, IsUpperHex);
}

constexpr const char* kCompanions[] = {".zip", ".bmp"};

// Names made by CreateTempFileName, each held open and locked until this process removes it.
std::map<std::string, UniqueFd>& HeldTempNames() {
  static std::map<std::string, UniqueFd> held;
  return held;
}

// The file that lists the names CreateTempFileName hands out and that still exist, so that the
// next run can tell its own leftovers from other programs' files of the same form. A name is
// listed ("+path") before the file is created and unlisted ("-path") once it is gone, each as one
// appended line, so a killed run never leaves a file of ours unlisted; a cut-off last line is
// ignored. At start-up (and when it has grown long) it is written anew from what it says, into a
// temporary renamed over it, so no moment holds a shorter list.
class TemporaryLedger {
 public:
  void Open(const std::string& path) {
    file_.Reset();
    listed_.clear();
    path_ = path;
    if (path.empty()) return;
    std::string text;
    {
      UniqueFd in(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      char buffer[4096];
      for (ssize_t n; in.valid() && (n = ::read(in.get(), buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxBytes) break;  // not ours to read on
      }
    }
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      std::string line = text.substr(start, end - start);
      const char sign = line.empty() ? ' ' : line.front();
      if (sign == '+' || sign == '-') line.erase(0, 1);
      if (!line.starts_with('/') || !IsTempFileName(BaseName(line))) continue;
      if (sign == '-') {
        listed_.erase(line);
      } else {
        listed_.insert(line);
      }
    }
    for (const auto& [name, fd] : HeldTempNames()) listed_.insert(name);
    Rewrite();
  }
  void Add(const std::string& path) {
    if (file_.valid() && listed_.insert(path).second) Append("+" + path);
  }
  void Drop(const std::string& path) {
    if (listed_.erase(path) > 0) Append("-" + path);
  }
  // The listed names in the directory `dir` (without a trailing "/") that this process does not
  // hold: what an earlier run left.
  std::vector<std::string> LeftIn(const std::string& dir) const {
    std::vector<std::string> left;
    for (const std::string& path : listed_) {
      if (DirectoryOf(path) == dir && !HeldTempNames().contains(path)) left.push_back(path);
    }
    return left;
  }

 private:
  // Far more than a killed run can leave; a larger file is not a ledger of ours.
  static constexpr std::size_t kMaxBytes = 1 << 20;
  // Appended lines before the file is written anew from the names still listed.
  static constexpr int kRewriteAfterLines = 10000;

  // One write of the whole line: a kill leaves it whole or cut off, never mixed with another.
  void Append(const std::string& line) {
    if (!file_.valid()) return;
    const std::string text = line + "\n";
    if (::write(file_.get(), text.data(), text.size()) < 0) return;
    if (++appended_ > kRewriteAfterLines) Rewrite();
  }

  void Rewrite() {
    file_.Reset();
    appended_ = 0;
    std::string text;
    for (const std::string& path : listed_) text += "+" + path + "\n";
    const std::string temporary = path_ + ".new";
    {
      UniqueFd out(
          ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!out.valid()) return;
      WriteAll(out.get(), text.data(), text.size());
    }
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
      ::unlink(temporary.c_str());
      return;
    }
    file_.Reset(::open(path_.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
  }

  std::string path_;
  UniqueFd file_;
  std::set<std::string> listed_;
  int appended_ = 0;
};

TemporaryLedger& Ledger() {
  static TemporaryLedger ledger;
  return ledger;
}

void ForgetTempName(const std::string& path) {
  HeldTempNames().erase(path);
  Ledger().Drop(path);
}

}  // namespace

void RemoveFile(const std::string& path) {
  const ConfinedPath where = ResolveParent(path);
  if (::unlinkat(where.dir.get(), where.leaf.c_str(), 0) != 0) ThrowErrno();
  ForgetTempName(path);
}

bool RemoveFileIfExists(const std::string& path) {
  try {
    RemoveFile(path);
    return true;
  } catch (const RuntimeError&) {
    ForgetTempName(path);
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
    // Listed before it exists: a run killed right after the create still names it as its own.
    const bool newly_listed = !HeldTempNames().contains(path);
    if (newly_listed) Ledger().Add(path);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.valid()) {
      if (!LockNewTemporary(fd.get())) continue;
      // A companion of the name may belong to someone else: never write over it.
      if (std::any_of(std::begin(kCompanions), std::end(kCompanions), [&](const char* extension) {
            struct stat st;
            return ::lstat((path + extension).c_str(), &st) == 0;
          })) {
        ::unlink(path.c_str());
        Ledger().Drop(path);
        continue;
      }
      HeldTempNames()[path] = std::move(fd);
      return path;
    }
    const int error = errno;
    // Someone else's name: not ours to list.
    if (newly_listed) Ledger().Drop(path);
    if (error != EEXIST) throw ErrorFromErrno(error);
  }
  throw RuntimeError(kFileAlreadyExists);
}

void SetTemporaryLedger(const std::string& ledger) { Ledger().Open(ledger); }

namespace {

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

// True when no live process holds the lock of LockNewTemporary on `fd`; the caller holds it
// then until `fd` is closed.
bool Unheld(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }

// Removes the hidden temporary `name` from `dir_fd` when it is a stale one of ours.
bool RemoveIfStaleHidden(int dir_fd, const std::string& name) {
  struct stat st;
  const UniqueFd fd = OpenOwnRegular(dir_fd, name, st);
  return fd.valid() && Unheld(fd.get()) && ::unlinkat(dir_fd, name.c_str(), 0) == 0;
}

// Removes the ledger's `name` from `dir_fd` with its companions when it is still what this
// service made: a regular file of this user, never written to, that no live process holds.
// Returns how many entries went.
int RemoveIfStaleListed(int dir_fd, const std::string& name) {
  struct stat st;
  const UniqueFd fd = OpenOwnRegular(dir_fd, name, st);
  if (!fd.valid() || st.st_size != 0 || !Unheld(fd.get())) return 0;
  // Companions first, while the held name still keeps every other process off them.
  int removed = 0;
  for (const char* extension : kCompanions) {
    struct stat companion_st;
    const std::string companion = name + extension;
    if (OpenOwnRegular(dir_fd, companion, companion_st).valid() &&
        ::unlinkat(dir_fd, companion.c_str(), 0) == 0) {
      ++removed;
    }
  }
  return removed + (::unlinkat(dir_fd, name.c_str(), 0) == 0 ? 1 : 0);
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
  while (const dirent* entry = ::readdir(stream)) {
    if (std::string_view(entry->d_name).starts_with(kOwnTemporaryPrefix)) {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(stream);
  int removed = 0;
  for (const std::string& name : names) {
    removed +=
        RemoveIfStaleHidden(dir_fd.get(), name) || RemoveIfStalePrivateFolder(dir_fd.get(), name)
            ? 1
            : 0;
  }
  std::string listed_dir = dir;
  while (listed_dir.size() > 1 && listed_dir.back() == '/') listed_dir.pop_back();
  for (const std::string& path : Ledger().LeftIn(listed_dir)) {
    removed += RemoveIfStaleListed(dir_fd.get(), BaseName(path));
    // Whether removed or not (gone, rewritten, someone else's now), the entry has done its work.
    Ledger().Drop(path);
  }
  return removed;
}

bool RemoveStaleTemporary(const std::string& path) {
  const std::string name = BaseName(path);
  if (!name.starts_with(kOwnTemporaryPrefix)) return false;
  const UniqueFd dir_fd(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir_fd.valid() && RemoveIfStaleHidden(dir_fd.get(), name);
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

int64_t FileSystemClockNs() {
  // The kernel stamps changes with this coarse clock (or a finer reading taken after it).
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

namespace {

// The stamp of `name` in `dir` (of `dir` itself when `name` is empty); false unless it is a
// directory whose times the file system reports.
bool ReadDirectoryStamp(int dir, const char* name, DirectoryStamp& stamp) {
  struct statx st;
  // A network file system would otherwise answer from attributes it cached up to a minute ago.
  const int flags =
      AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  constexpr unsigned kWanted = STATX_TYPE | STATX_INO | STATX_MTIME | STATX_CTIME;
  if (::statx(dir, name, flags, kWanted, &st) != 0) return false;
  if ((st.stx_mask & kWanted) != kWanted || !S_ISDIR(st.stx_mode)) return false;
  auto ns = [](const struct statx_timestamp& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  };
  stamp.device = makedev(st.stx_dev_major, st.stx_dev_minor);
  stamp.inode = st.stx_ino;
  stamp.modified_ns = ns(st.stx_mtime);
  stamp.changed_ns = ns(st.stx_ctime);
  return true;
}

// The attribute word of a listed entry, from the listing's own record of its kind where there
// is one; entries of unknown kind are inspected. False when the entry has vanished.
bool ListedAttributes(int dir, const struct dirent& item, uint32_t& word) {
  unsigned char type = item.d_type;
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (::fstatat(dir, item.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    type = IFTODT(st.st_mode);
  }
  switch (type) {
    case DT_LNK:
      word = kAttributeLink;
      break;
    case DT_DIR:
      word = kAttributeDirectory;
      break;
    case DT_REG:
      word = kAttributeArchive;
      break;
    default:
      word = kAttributeSystem;
  }
  return true;
}

uint32_t HiddenBit(const std::string& name) {
  const bool hidden = name[0] == '.' && name != "." && name != "..";
  return hidden ? uint32_t{kAttributeHidden} : 0;
}

}  // namespace

struct DirectoryEnumeration::Handle {
  int fd = -1;         // the open directory; owned by `dir` once that exists
  DIR* dir = nullptr;  // its stream, made on the first read: a walk that only descends needs none
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
  handle_->fd = fd.Release();
  return true;
}

bool DirectoryEnumeration::OpenBelow(const DirectoryEnumeration& parent, const std::string& name) {
  Close();
  if (parent.handle_->fd < 0 || name.empty() || name == "." || name == ".." ||
      name.find('/') != std::string::npos) {
    return false;
  }
  handle_->fd = ::openat(parent.handle_->fd, name.c_str(),
                         O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  return handle_->fd >= 0;
}

namespace {

// The stream over `fd`, made into `dir` when first needed; null when it cannot be.
DIR* StreamOf(int fd, DIR*& dir) {
  if (dir == nullptr && fd >= 0) dir = ::fdopendir(fd);
  return dir;
}

}  // namespace

bool DirectoryEnumeration::Next(DirectoryEntry& entry) {
  DIR* stream = StreamOf(handle_->fd, handle_->dir);
  if (stream == nullptr) return false;
  for (;;) {
    errno = 0;
    const struct dirent* item = ::readdir(stream);
    if (item == nullptr) return false;
    struct stat st;
    if (::fstatat(::dirfd(stream), item->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
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
    entry.attributes = word | HiddenBit(entry.name);
    return true;
  }
}

bool DirectoryEnumeration::NextListed(DirectoryEntry& entry) {
  DIR* stream = StreamOf(handle_->fd, handle_->dir);
  if (stream == nullptr) return false;
  for (;;) {
    const struct dirent* item = ::readdir(stream);
    if (item == nullptr) return false;
    uint32_t word = 0;
    if (!ListedAttributes(::dirfd(stream), *item, word)) continue;
    entry.name = item->d_name;
    entry.attributes = word | HiddenBit(entry.name);
    return true;
  }
}

bool DirectoryEnumeration::Stamp(DirectoryStamp& stamp) const {
  return handle_->fd >= 0 && ReadDirectoryStamp(handle_->fd, "", stamp);
}

bool DirectoryEnumeration::StampOf(const std::string& name, DirectoryStamp& stamp) const {
  return handle_->fd >= 0 && !name.empty() && ReadDirectoryStamp(handle_->fd, name.c_str(), stamp);
}

void DirectoryEnumeration::Close() {
  if (!handle_) return;
  if (handle_->dir != nullptr) {
    ::closedir(handle_->dir);  // closes the descriptor too
  } else if (handle_->fd >= 0) {
    ::close(handle_->fd);
  }
  handle_->dir = nullptr;
  handle_->fd = -1;
}

}  // namespace plotspool::platform
