#include "platform/scratch_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "base/error.h"
#include "platform/environment.h"
#include "platform/posix/atomic_file.h"
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
  WriteAllAt(FdOf(file_), offset, data);
}

void ScratchFile::ReadAt(uint64_t offset, std::span<uint8_t> data) const {
  if (platform::ReadAt(FdOf(file_), offset, data) != data.size()) {
    throw RuntimeError(kDeviceIoError, "Device I/O error (scratch file too short)");
  }
}

}  // namespace plotspool::platform
