// The service under test as a POSIX child process: started with posix_spawn, stopped with
// SIGTERM as the system does at shutdown.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

extern char** environ;

namespace plotspool::testing {

ServiceUnderTest::ServiceUnderTest(const std::filesystem::path& dir,
                                   std::vector<std::string> environment)
    : executable_(dir / "plotspool"), environment_(std::move(environment)) {
  std::filesystem::copy_file(PLOTSPOOL_BINARY_DIR "/plotspool", executable_,
                             std::filesystem::copy_options::overwrite_existing);
}

ServiceUnderTest::~ServiceUnderTest() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::filesystem::path ServiceUnderTest::ini() const {
  return executable_.parent_path() / "plotspool.ini";
}

std::filesystem::path ServiceUnderTest::log() const {
  return executable_.parent_path() / "plotspool.log";
}

int ServiceUnderTest::Start() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.insert(env.end(), environment_.begin(), environment_.end());
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = executable_.string();
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return -1;
  pid_ = pid;
  return pid;
}

int ServiceUnderTest::WaitForExit(std::chrono::milliseconds timeout) {
  int status = 0;
  const bool ended = WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
  if (!ended) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ServiceUnderTest::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ServiceUnderTest::RequestStop() { Signal(SIGTERM); }

void ServiceUnderTest::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

}  // namespace plotspool::testing
