#include "util/system_utils.h"

#include <algorithm>
#include <chrono>

#include "platform/environment.h"
#include "platform/process.h"
#include "util/message_loop.h"

namespace plotspool {

bool bRunTimedOut = false;

namespace {

constexpr std::size_t kEnvValueBufferSize = 255;

// The point on the steady clock at which the wall clock, read to the second, first shows a
// time later than now + `seconds`: what a deadline in whole seconds means, without being
// thrown off when the wall clock is set meanwhile.
std::chrono::steady_clock::time_point WholeSecondDeadline(int seconds) {
  const auto wall = std::chrono::system_clock::now();
  const auto steady = std::chrono::steady_clock::now();
  const auto into_second = wall - std::chrono::floor<std::chrono::seconds>(wall);
  // Just after a second began, the whole-second deadline lies almost T+1 s away; stopping the
  // program then still has to fit inside the T+1 s the caller is promised.
  constexpr std::chrono::milliseconds kStopHeadroom(100);
  return steady + std::chrono::seconds(seconds + 1) -
         std::max<std::chrono::steady_clock::duration>(
             std::chrono::duration_cast<std::chrono::steady_clock::duration>(into_second),
             kStopHeadroom);
}

}  // namespace

std::string GetTempDir() { return platform::TemporaryDirectory(); }

std::string GetEnvVar(const std::string& name) {
  std::string text = platform::EnvironmentValue(name).value_or("");
  if (text.size() >= kEnvValueBufferSize) return "";
  return text;
}

void RunAndWait(std::string& command_line, int16_t /*window_style*/, int16_t timeout_seconds) {
  bRunTimedOut = false;
  const auto deadline = WholeSecondDeadline(timeout_seconds);
  platform::ChildProcess program(command_line);

  for (;;) {
    // Wake at least once a second so the message loop's observer (the watchdog) keeps running
    // during a long wait; a close request wakes the wait at once.
    const auto slice_end =
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(1));
    const platform::WaitOutcome outcome = program.WaitUntil(slice_end);
    // The service is stopping: the program is left running and is not killed,
    // as a program on the desktop would outlive a service that logs off.
    YieldToMessageLoop();
    if (outcome == platform::WaitOutcome::kEnded) return;
    if (std::chrono::steady_clock::now() >= deadline) break;
  }

  bRunTimedOut = true;
  command_line = program.KillTree();
  YieldToMessageLoop();
}

}  // namespace plotspool
