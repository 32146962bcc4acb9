// The one owner of a file descriptor in the POSIX back end, closed when its owner goes, and the
// OpenHandle that carries one through the portable headers. Internal to src/platform/posix/.
#ifndef PLOTSPOOL_PLATFORM_POSIX_UNIQUE_FD_H_
#define PLOTSPOOL_PLATFORM_POSIX_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

#include "platform/open_handle.h"

namespace plotspool::platform {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int Release() { return std::exchange(fd_, -1); }
  // Closes now and reports what the close said: a write error may only show here. True when
  // nothing was open.
  bool Close() {
    if (fd_ < 0) return true;
    return ::close(std::exchange(fd_, -1)) == 0;
  }

 private:
  int fd_ = -1;
};

struct OpenHandle {
  UniqueFd fd;
};

// `fd` as an OwnedHandle; empty when `fd` is not valid.
OwnedHandle OwnHandle(UniqueFd fd);

// The descriptor `handle` holds; -1 when it is empty.
inline int FdOf(const OwnedHandle& handle) { return handle ? handle->fd.get() : -1; }

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_POSIX_UNIQUE_FD_H_
