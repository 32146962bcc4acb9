// Starting external programs from a command line and waiting for them. A command line is split
// into arguments by the quoting rules of SplitCommandLine and started directly, never through a
// shell, so text in it can never become a command. Each program and everything it starts can be
// killed together.
#ifndef PLOTSPOOL_PLATFORM_PROCESS_H_
#define PLOTSPOOL_PLATFORM_PROCESS_H_

#include <chrono>
#include <memory>
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

// A started program. Standard input and output are the null device, standard error is
// inherited, nothing else of the service is passed on.
// The destructor never kills; a program still running (or not yet collected) is handed to
// ReapFinishedChildren.
class ChildProcess {
 public:
  // Starts the program of `command_line`; throws RuntimeError (53 when the program is not
  // found, 70 when it may not be run, 5 when the line names no program).
  explicit ChildProcess(const std::string& command_line);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // The system's number for the program while it runs.
  int pid() const;

  // Blocks without using the processor until the program ends (it is then collected),
  // `deadline` passes or a close request is pending, whichever comes first; a close request wins
  // over a passed deadline, which wins over an end.
  WaitOutcome WaitUntil(std::chrono::steady_clock::time_point deadline);

  // Kills the program together with every program it started, without waiting for them to go,
  // and returns the command line of the kill tool that does it ("kill -KILL -<pid>": the whole
  // process group), which is what an operator would type. When that tool cannot be started the
  // tree is killed directly all the same. Never throws.
  std::string KillTree();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Collects every finished child handed over above, so that none lingers as a zombie. Never
// blocks; called on every start and by the service's tick.
void ReapFinishedChildren();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_PROCESS_H_
