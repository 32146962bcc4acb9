#include "platform/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/errno_error.h"
#include "platform/posix/unique_fd.h"

namespace plotspool::platform {

int AppendToLogFile(const std::string& path, std::string_view text) {
  // The log may be a link an administrator set up to put it elsewhere: it is followed.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
  if (!fd.valid()) return ErrorNumberFromErrno(errno);
  const ssize_t written = ::write(fd.get(), text.data(), text.size());
  if (written < 0) return ErrorNumberFromErrno(errno);
  // A short append leaves a cut line; the rest would no longer be one write.
  if (static_cast<std::size_t>(written) != text.size()) return kDiskFull;
  if (!fd.Close()) return ErrorNumberFromErrno(errno);
  return 0;
}

}  // namespace plotspool::platform
