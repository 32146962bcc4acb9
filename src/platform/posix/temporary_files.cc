#include "platform/temporary_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/confined_path.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/temporary_lock.h"
#include "platform/posix/unique_fd.h"
#include "platform/temporary_ledger.h"

namespace plotspool::platform {

bool IsFullPath(std::string_view path) { return path.starts_with('/'); }

// `dir` without a trailing "/", as RemoveStaleTemporaries passes it.
bool LiesInFolder(const std::string& path, const std::string& dir) {
  return DirectoryOf(path) == dir;
}

std::string ReadLedgerFile(const std::string& path, std::size_t limit) {
  std::string text;
  const UniqueFd in(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  char buffer[4096];
  for (ssize_t n; in.valid() && (n = ::read(in.get(), buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > limit) break;  // not ours to read on
  }
  return text;
}

bool ReplaceLedgerFile(const std::string& path, const std::string& text) {
  try {
    AtomicReplacement replacement(path, 0600);
    if (!WriteAll(replacement.fd(), text)) return false;
    replacement.Commit(/*replace=*/true);
    return true;
  } catch (const RuntimeError&) {
    return false;
  }
}

OwnedHandle OpenLedgerForAppending(const std::string& path) {
  return OwnHandle(UniqueFd(::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC)));
}

bool AppendToLedgerFile(const OwnedHandle& file, const std::string& text) {
  return ::write(FdOf(file), text.data(), text.size()) >= 0;
}

TempNameAttempt CreateTempNameFile(const std::string& path, OwnedHandle& made) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    if (errno == EEXIST) return TempNameAttempt::kTaken;
    throw ErrorFromErrno(errno);
  }
  if (!LockNewTemporary(fd.get())) return TempNameAttempt::kSwept;
  // A companion of the name may belong to someone else: never write over it.
  if (std::any_of(std::begin(kTempNameCompanions), std::end(kTempNameCompanions),
                  [&](const char* extension) {
                    struct stat st;
                    return ::lstat((path + extension).c_str(), &st) == 0;
                  })) {
    ::unlink(path.c_str());
    return TempNameAttempt::kCompanion;
  }
  made = OwnHandle(std::move(fd));
  return TempNameAttempt::kMade;
}

std::string CreateTempFileName(const std::string& dir, const std::string& prefix) {
  std::string base = dir;
  if (base.empty() || base.back() != '/') base += '/';
  return CreateTempFileNameFrom(base + prefix);
}

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
  for (const char* extension : kTempNameCompanions) {
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

}  // namespace plotspool::platform
