#include "platform/raw_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/error.h"
#include "base/path_strings.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/confined_path.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/unique_fd.h"

namespace plotspool::platform {
namespace {

// A descriptor on a regular file with one name, or an error: a link makes O_NOFOLLOW fail with
// ELOOP, O_NONBLOCK keeps a FIFO planted under a job's name from blocking the open, and a hard
// link may stand for a file outside the transfer tree.
UniqueFd OpenRegular(const std::string& path, int flags, mode_t mode) {
  const ConfinedPath where = ResolveParent(path);
  UniqueFd fd(openat(where.dir.get(), where.leaf.c_str(),
                     flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode));
  if (!fd.valid()) throw ErrorFromErrno(errno);
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) {
    throw RuntimeError(kPathFileAccessError);
  }
  const int fl = fcntl(fd.get(), F_GETFL);
  if (fl >= 0) fcntl(fd.get(), F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

}  // namespace

RawFile RawFile::OpenForReading(const std::string& path) {
  return RawFile(OwnHandle(OpenRegular(path, O_RDONLY, 0)), path);
}

RawFile RawFile::CreateBeside(const std::string& target, const RawFile* like) {
  mode_t mode = 0644;
  if (like != nullptr) {
    struct stat st;
    if (fstat(FdOf(like->file_), &st) != 0) throw ErrorFromErrno(errno);
    mode = st.st_mode & 0777;
  }
  AtomicReplacement replacement(target, mode);
  // The umask may have narrowed the mode; a replaced job file keeps its permissions.
  ::fchmod(replacement.fd(), mode);
  std::string path = DirectoryPart(target) + replacement.name();
  return RawFile(OwnHandle(replacement.Release()), std::move(path));
}

size_t RawFile::ReadAt(uint64_t offset, std::span<uint8_t> data) const {
  return platform::ReadAt(FdOf(file_), offset, data);
}

void RawFile::WriteAt(uint64_t offset, std::span<const uint8_t> data) {
  WriteAllAt(FdOf(file_), offset, data);
}

uint64_t RawFile::Size() const {
  struct stat st;
  if (fstat(FdOf(file_), &st) != 0) throw ErrorFromErrno(errno);
  return static_cast<uint64_t>(st.st_size);
}

void RawFile::Sync() {
  if (fdatasync(FdOf(file_)) != 0) throw ErrorFromErrno(errno);
}

void RawFile::Close() {
  if (!file_) return;
  const OwnedHandle file = std::move(file_);
  if (!file->fd.Close() && errno != EINTR) throw ErrorFromErrno(errno);
}

void RawFile::RenameOver(const std::string& from, const std::string& to) {
  const ConfinedPath source = ResolveParent(from);
  const ConfinedPath target = ResolveParent(to);
  if (renameat(source.dir.get(), source.leaf.c_str(), target.dir.get(), target.leaf.c_str()) != 0)
    throw ErrorFromErrno(errno);
  SyncDirectory(target.dir.get());
}

void RawFile::RemoveQuietly(const std::string& path) {
  try {
    const ConfinedPath where = ResolveParent(path);
    unlinkat(where.dir.get(), where.leaf.c_str(), 0);
  } catch (const RuntimeError&) {
  }
}

}  // namespace plotspool::platform
