// The service under test as a POSIX child process: started with posix_spawn, stopped with
// SIGTERM as the system does at shutdown; and any program run to its end with its output caught.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

extern char** environ;

namespace plotspool::testing {

// The process id says it all here.
struct ServiceUnderTest::Process {};

namespace {

// The test's environment with `extra` taking precedence (the first entry of a name counts).
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> env = extra;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

ProgramRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& environment,
                      std::chrono::milliseconds timeout) {
  const std::filesystem::path out = program.parent_path() / "run-out.txt";
  const std::filesystem::path err = program.parent_path() / "run-err.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> argv_strings{program.string()};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv = Pointers(argv_strings);
  std::vector<std::string> env = EnvironmentWith(environment);
  std::vector<char*> envp = Pointers(env);
  pid_t pid = -1;
  ProgramRun run;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  int status = 0;
  if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  } else if (WIFEXITED(status)) {
    run.status = WEXITSTATUS(status);
  }
  run.out = ReadWholeFile(out);
  run.err = ReadWholeFile(err);
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return run;
}

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
  std::vector<std::string> env = EnvironmentWith(environment_);
  std::vector<char*> envp = Pointers(env);
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
