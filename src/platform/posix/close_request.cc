#include "platform/close_request.h"
#include "platform/posix/close_request_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace plotspool::platform {
namespace {

// A self-pipe: the handler writes one byte and nobody ever reads it, so the read end stays
// readable and the request stays pending.
int pipe_fds[2] = {-1, -1};
// The same news for a look without a system call: a walk looks once per directory entry.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnCloseSignal(int) {
  requested.store(true, std::memory_order_relaxed);
  const int saved_errno = errno;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = write(pipe_fds[1], &byte, 1);
  errno = saved_errno;
}

void EnsurePipe() {
  if (pipe_fds[0] >= 0) return;
  if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) pipe_fds[0] = pipe_fds[1] = -1;
}

}  // namespace

void InstallCloseRequestSignals() {
  EnsurePipe();
  struct sigaction action {};
  action.sa_handler = OnCloseSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool CloseRequestPending() { return requested.load(std::memory_order_relaxed); }

bool WaitForCloseRequest(std::chrono::milliseconds timeout) {
  if (pipe_fds[0] < 0) {
    if (timeout.count() > 0) {
      struct timespec ts {
        static_cast<time_t>(timeout.count() / 1000),
            static_cast<long>(timeout.count() % 1000) * 1000000
      };
      while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
      }
    }
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    struct pollfd fd {
      pipe_fds[0], POLLIN, 0
    };
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int n = poll(&fd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

int CloseRequestFd() { return pipe_fds[0]; }

void RaiseCloseRequest() {
  EnsurePipe();
  OnCloseSignal(0);
}

}  // namespace plotspool::platform
