#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "base/error.h"
#include "platform/posix/close_request_fd.h"
#include "platform/posix/errno_error.h"
#include "platform/posix/unique_fd.h"

extern char** environ;

namespace plotspool::platform {
namespace {

// Children handed over for later reaping; `after` must be reaped first (0: nothing to wait for).
struct Unreaped {
  int pid;
  int after;
};

std::vector<Unreaped>& UnreapedChildren() {
  static std::vector<Unreaped> children;
  return children;
}

// posix_spawn attributes and file actions, released in the destructor.
class SpawnSetup {
 public:
  explicit SpawnSetup(bool own_group) {
    posix_spawnattr_init(&attr_);
    posix_spawn_file_actions_init(&actions_);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
      flags |= POSIX_SPAWN_SETPGROUP;
      posix_spawnattr_setpgroup(&attr_, 0);
    }
    posix_spawnattr_setflags(&attr_, flags);
    // The service ignores SIGPIPE and may block signals; a program starts with neither.
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attr_, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attr_, &signals);
    posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
    // Descriptors opened without O_CLOEXEC (by a library, say) must not leak into a program that
    // may outlive the service; standard error stays for the program's complaints.
    posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attr_);
  }

  // 0 and the new process id, or the error number.
  int Spawn(const std::vector<std::string>& args, bool search_path, int& pid) {
    std::vector<char*> argv;
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t child = -1;
    const int rc = search_path
                       ? posix_spawnp(&child, argv[0], &actions_, &attr_, argv.data(), environ)
                       : posix_spawn(&child, argv[0], &actions_, &attr_, argv.data(), environ);
    pid = child;
    return rc;
  }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
};

// True when `pid` has been collected (or was never ours to collect).
bool TryReap(int pid) {
  for (;;) {
    const pid_t rc = waitpid(pid, nullptr, WNOHANG);
    if (rc == pid) return true;
    if (rc == 0) return false;
    if (errno == EINTR) continue;
    return true;  // ECHILD: collected elsewhere, or SIGCHLD is ignored
  }
}

timespec ToTimespec(std::chrono::nanoseconds d) {
  if (d.count() < 0) d = std::chrono::nanoseconds(0);
  return timespec{static_cast<time_t>(d.count() / 1000000000),
                  static_cast<long>(d.count() % 1000000000)};
}

// Starts `command` through /bin/sh -c without waiting for it; its process id, or -1 when it
// could not be started. It is reaped by ReapFinishedChildren.
int StartShellCommandDetached(const std::string& command) {
  ReapFinishedChildren();
  SpawnSetup setup(/*own_group=*/false);
  int pid = -1;
  if (setup.Spawn({"/bin/sh", "-c", command}, /*search_path=*/false, pid) != 0) return -1;
  UnreapedChildren().push_back({pid, 0});
  return pid;
}

}  // namespace

struct ChildProcess::State {
  int pid = -1;
  UniqueFd pidfd;  // the process as a descriptor that polls readable once it has ended
  bool reaped = false;
  int reap_after = 0;  // a killer to collect first (see KillTree)
};

ChildProcess::ChildProcess(const std::string& command_line) : state_(std::make_unique<State>()) {
  ReapFinishedChildren();
  const std::vector<std::string> args = SplitCommandLine(command_line);
  if (args.empty() || args[0].empty()) throw RuntimeError(kInvalidProcedureCall);
  // A process group of its own, so that the program and whatever it starts die together.
  SpawnSetup setup(/*own_group=*/true);
  const int rc = setup.Spawn(args, /*search_path=*/true, state_->pid);
  if (rc != 0) throw ErrorFromErrno(rc);
  // Until the child is reaped its id cannot be reused, so opening it by id is race-free here.
  state_->pidfd.Reset(static_cast<int>(syscall(SYS_pidfd_open, state_->pid, 0)));
}

ChildProcess::~ChildProcess() {
  if (!state_->reaped && state_->pid > 0) {
    UnreapedChildren().push_back({state_->pid, state_->reap_after});
  }
}

int ChildProcess::pid() const { return state_->pid; }

WaitOutcome ChildProcess::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  const int pidfd = state_->pidfd.get();
  for (;;) {
    const int close_fd = CloseRequestFd();
    pollfd fds[2] = {{pidfd, POLLIN, 0}, {close_fd, POLLIN, 0}};
    auto wait = deadline - Clock::now();
    if (pidfd < 0) {
      // Kernels without process descriptors: look for the end in short slices.
      wait = std::min<Clock::duration>(wait, std::chrono::milliseconds(50));
    }
    const timespec timeout = ToTimespec(wait);
    const int n = ppoll(fds, 2, &timeout, nullptr);
    if (n < 0 && errno != EINTR) throw ErrorFromErrno(errno);
    if (close_fd >= 0 && n > 0 && (fds[1].revents & POLLIN)) return WaitOutcome::kCloseRequested;
    if (Clock::now() >= deadline) return WaitOutcome::kDeadlinePassed;
    if (state_->reaped || ((pidfd < 0 || (n > 0 && fds[0].revents != 0)) && TryReap(state_->pid))) {
      state_->reaped = true;
      return WaitOutcome::kEnded;
    }
  }
}

std::string ChildProcess::KillTree() {
  // The leading "-" names the program's process group, so programs it started go too. The form
  // without "--" is the one every /bin/sh's built-in kill accepts.
  const std::string command = "kill -KILL -" + std::to_string(state_->pid);
  if (state_->reaped || state_->pid <= 0) return command;
  const int killer = StartShellCommandDetached(command);
  if (killer > 0) {
    // The program stays uncollected until its killer is: its process id and group id stay
    // reserved while the killer runs, so the kill can never hit a stranger that took them over.
    state_->reap_after = killer;
  } else {
    ::kill(-state_->pid, SIGKILL);  // no shell: the group must go all the same
  }
  return command;
}

std::string FindProgram(const std::string& name) {
  const auto runnable = [](const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
  };
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return runnable(name) ? name : std::string();
  // The search posix_spawnp makes: an empty $PATH entry is the current directory.
  const char* path_variable = std::getenv("PATH");
  const std::string search = path_variable != nullptr ? path_variable : "/bin:/usr/bin";
  std::size_t start = 0;
  for (;;) {
    const std::size_t colon = search.find(':', start);
    const std::filesystem::path dir =
        search.substr(start, colon == std::string::npos ? colon : colon - start);
    const std::string candidate = (dir.empty() ? std::filesystem::path(".") : dir) / name;
    if (runnable(candidate)) return candidate;
    if (colon == std::string::npos) return {};
    start = colon + 1;
  }
}

void ReapFinishedChildren() {
  auto& children = UnreapedChildren();
  // Killers first, so that what they killed may be collected in the same call.
  for (bool progress = true; progress;) {
    progress = false;
    for (auto it = children.begin(); it != children.end();) {
      const bool waiting = it->after != 0 && std::any_of(children.begin(), children.end(),
                                                         [&](const Unreaped& other) {
                                                           return other.pid == it->after;
                                                         });
      if (!waiting && TryReap(it->pid)) {
        it = children.erase(it);
        progress = true;
      } else {
        ++it;
      }
    }
  }
}

}  // namespace plotspool::platform
