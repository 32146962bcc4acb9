#include "platform/raw_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "base/error.h"
#include "platform/posix/confined_path.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/temporary_lock.h"
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

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

RawFile RawFile::OpenForReading(const std::string& path) {
  return RawFile(OwnHandle(OpenRegular(path, O_RDONLY, 0)), path);
}

RawFile RawFile::CreateBeside(const std::string& target, uint32_t mode) {
  static std::mt19937 generator{std::random_device{}()};
  // Hidden name: the transfer walk never picks up files whose name starts with a dot.
  std::string name = NameOf(target);
  if (name.size() > 64) name.resize(64);
  const ConfinedPath where = ResolveParent(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    snprintf(suffix, sizeof suffix, ".%06x.tmp", static_cast<unsigned>(generator() & 0xFFFFFF));
    // The ".plotspool-" prefix lets a later run know a crash's leftover as its own.
    const std::string leaf = ".plotspool-" + name + suffix;
    std::string path = DirectoryOf(target) + leaf;
    UniqueFd fd(openat(where.dir.get(), leaf.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       static_cast<mode_t>(mode & 0777)));
    if (fd.valid() && !LockNewTemporary(fd.get())) continue;
    if (fd.valid()) {
      // The umask may have narrowed the mode; a replaced job file keeps its permissions.
      fchmod(fd.get(), static_cast<mode_t>(mode & 0777));
      return RawFile(OwnHandle(std::move(fd)), std::move(path));
    }
    if (errno != EEXIST) throw ErrorFromErrno(errno);
  }
  throw RuntimeError(kFileAlreadyExists);
}

size_t RawFile::ReadAt(uint64_t offset, std::span<uint8_t> data) const {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = pread(FdOf(file_), data.data() + done, data.size() - done,
                            static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ErrorFromErrno(errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void RawFile::WriteAt(uint64_t offset, std::span<const uint8_t> data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = pwrite(FdOf(file_), data.data() + done, data.size() - done,
                             static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ErrorFromErrno(errno);
    }
    done += static_cast<size_t>(n);
  }
}

uint64_t RawFile::Size() const {
  struct stat st;
  if (fstat(FdOf(file_), &st) != 0) throw ErrorFromErrno(errno);
  return static_cast<uint64_t>(st.st_size);
}

uint32_t RawFile::Mode() const {
  struct stat st;
  if (fstat(FdOf(file_), &st) != 0) throw ErrorFromErrno(errno);
  return static_cast<uint32_t>(st.st_mode & 0777);
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
}

void RawFile::RemoveQuietly(const std::string& path) {
  try {
    const ConfinedPath where = ResolveParent(path);
    unlinkat(where.dir.get(), where.leaf.c_str(), 0);
  } catch (const RuntimeError&) {
  }
}

}  // namespace plotspool::platform
