// Starting external programs from a command line and waiting for them. A command line is split
// into arguments by the classic Windows rules and started directly, never through a shell, so
// text in it can never become a command. Each program runs in a process group of its own.
#ifndef PLOTSPOOL_PLATFORM_PROCESS_H_
#define PLOTSPOOL_PLATFORM_PROCESS_H_

#include <chrono>
#include <string>
#include <vector>

namespace plotspool::platform {

// The arguments of `command_line`: blanks and tabs separate; double quotes group; 2n
// backslashes before a quote give n backslashes and the quote toggles grouping, 2n+1 give n
// backslashes and a literal quote; "" inside quotes is a literal quote; other backslashes are
// literal. The first argument (the program) takes quotes as grouping only, never escapes.
std::vector<std::string> SplitCommandLine(const std::string& command_line);

// `argument` written as one token that SplitCommandLine reads back unchanged (as a non-first
// argument): unchanged when it holds no blank, tab or quote and is not empty, else in quotes.
std::string QuoteCommandLineArgument(const std::string& argument);

// Where the program `name` (the first argument of a command line) would be started from: `name`
// itself when it holds a "/", else the first executable file of that name along $PATH. Empty
// when there is none that may be run. Never throws.
std::string FindProgram(const std::string& name);

enum class WaitOutcome { kEnded, kDeadlinePassed, kCloseRequested };

// A started program. Standard input and output are /dev/null, standard error is inherited, no
// other descriptor of the service is passed on.
// The destructor never kills; a program still running (or not yet reaped) is handed to
// ReapFinishedChildren.
class ChildProcess {
 public:
  // Starts the program of `command_line`; throws RuntimeError (53 when the program is not
  // found, 70 when it may not be run, 5 when the line names no program).
  explicit ChildProcess(const std::string& command_line);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  int pid() const { return pid_; }

  // Blocks without using the processor until the program ends (it is then reaped), `deadline`
  // passes or a close request is pending, whichever comes first; a close request wins over a
  // passed deadline, which wins over an end.
  WaitOutcome WaitUntil(std::chrono::steady_clock::time_point deadline);

  // Defers reaping a program left running until the process `pid` (its killer) has been
  // reaped, so that the program's process id and group id stay reserved while the killer runs.
  void ReapAfter(int pid) { reap_after_ = pid; }

 private:
  int pid_ = -1;
  int pidfd_ = -1;
  bool reaped_ = false;
  int reap_after_ = 0;
};

// Starts `command` through /bin/sh -c without waiting for it; its process id, or -1 when it
// could not be started. Never throws. It is reaped by ReapFinishedChildren.
int StartShellCommandDetached(const std::string& command);

// Sends SIGKILL to the process group `group` directly (the fallback when no shell starts).
void KillProcessGroup(int group);

// Collects every finished child handed over above, so that none lingers as a zombie. Never
// blocks; called on every start and by the service's tick.
void ReapFinishedChildren();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_PROCESS_H_
