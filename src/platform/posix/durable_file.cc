#include "platform/durable_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/error.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/unique_fd.h"

namespace plotspool::platform {
namespace {

[[noreturn]] void ThrowErrno() { throw ErrorFromErrno(errno); }

}  // namespace

void AppendToFile(const std::string& path, std::string_view text, bool durable) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.valid()) ThrowErrno();
  if (!WriteAll(fd.get(), text)) ThrowErrno();
  if (durable && ::fdatasync(fd.get()) != 0) ThrowErrno();
}

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t max_bytes) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return std::nullopt;
    ThrowErrno();
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) ThrowErrno();
  if (!S_ISREG(st.st_mode)) throw RuntimeError(kPathFileAccessError);
  if (static_cast<uint64_t>(st.st_size) > max_bytes) return std::nullopt;
  std::string text(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno();
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  text.resize(done);
  return text;
}

void ReplaceFileDurably(const std::string& path, std::string_view text) {
  AtomicReplacement replacement(path, 0600);
  if (!WriteAll(replacement.fd(), text)) ThrowErrno();
  replacement.Commit(/*replace=*/true);
}

}  // namespace plotspool::platform
