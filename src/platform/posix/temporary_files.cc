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
#include <map>
#include <random>
#include <set>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/confined_path.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/temporary_lock.h"
#include "platform/posix/unique_fd.h"

namespace plotspool::platform {
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
    try {
      AtomicReplacement replacement(path_, 0600);
      if (!WriteAll(replacement.fd(), text)) return;
      replacement.Commit(/*replace=*/true);
    } catch (const RuntimeError&) {
      return;  // the old list stays; only its growth is not cut back
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

}  // namespace

void ForgetTemporaryName(const std::string& path) {
  HeldTempNames().erase(path);
  Ledger().Drop(path);
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

}  // namespace plotspool::platform
