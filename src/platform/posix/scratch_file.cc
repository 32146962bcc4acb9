#include "platform/scratch_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "base/error.h"
#include "platform/environment.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/unique_fd.h"

namespace plotspool::platform {

ScratchFile ScratchFile::Create() {
  std::string where = TemporaryDirectory();
  if (where.empty()) where = "/tmp/";  // too long a name for the callers of the temporary path
  int fd = open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // A file system without nameless files: a fresh name, removed at once.
    std::string name = where + ".plotspool-scratch-XXXXXX";
    std::vector<char> pattern(name.begin(), name.end());
    pattern.push_back('\0');
    fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) unlink(pattern.data());
  }
  if (fd < 0) throw ErrorFromErrno(errno);
  return ScratchFile(OwnHandle(UniqueFd(fd)));
}

void ScratchFile::WriteAt(uint64_t offset, std::span<const uint8_t> data) {
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

void ScratchFile::ReadAt(uint64_t offset, std::span<uint8_t> data) const {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = pread(FdOf(file_), data.data() + done, data.size() - done,
                            static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ErrorFromErrno(errno);
    }
    if (n == 0) throw RuntimeError(kDeviceIoError, "Device I/O error (scratch file too short)");
    done += static_cast<size_t>(n);
  }
}

}  // namespace plotspool::platform
