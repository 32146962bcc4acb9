#include "platform/ini_file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "base/error.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/unique_fd.h"

namespace plotspool::platform {
namespace {

IniFileStamp StampOf(const struct stat& info) {
  return IniFileStamp{
      static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
      static_cast<std::int64_t>(info.st_size),
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

}  // namespace

IniFileState ReadIniFile(const std::string& path, std::string& contents, IniFileStamp& stamp) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return errno == ENOENT ? IniFileState::kMissing : IniFileState::kUnreadable;
  struct stat info;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return IniFileState::kUnreadable;
  if (static_cast<std::size_t>(info.st_size) > kMaxIniFileBytes) return IniFileState::kUnreadable;
  contents.clear();
  contents.resize(static_cast<std::size_t>(info.st_size));
  std::size_t filled = 0;
  // The size is only a hint: another program may be growing or shrinking the file right now.
  for (;;) {
    if (filled == contents.size()) {
      if (contents.size() >= kMaxIniFileBytes) return IniFileState::kUnreadable;
      contents.resize(std::min(kMaxIniFileBytes + 1, contents.size() + 4096));
    }
    const ssize_t got = ::read(fd.get(), contents.data() + filled, contents.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return IniFileState::kUnreadable;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  contents.resize(filled);
  stamp = StampOf(info);
  return IniFileState::kRead;
}

bool ReplaceIniFile(const std::string& path, std::string_view contents, IniFileStamp& written) {
  try {
    AtomicReplacement replacement(path, 0666);  // less the umask, as any file the process makes
    struct stat existing;
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
        !replacement.TakeOwnerAndMode(existing)) {
      return false;
    }
    if (!WriteAll(replacement.fd(), contents)) return false;
    struct stat info;
    replacement.Commit(/*replace=*/true, &info);
    // The rename keeps inode, size and modification time, so this is the stamp readers see.
    written = StampOf(info);
    return true;
  } catch (const RuntimeError&) {
    return false;
  }
}

std::string IniWriteTarget(const std::string& file) {
  struct stat info;
  if (::lstat(file.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return file;
  char* resolved = ::realpath(file.c_str(), nullptr);
  if (resolved == nullptr) return file;  // dangling: the write then replaces the link
  std::string target(resolved);
  std::free(resolved);
  return target;
}

}  // namespace plotspool::platform
