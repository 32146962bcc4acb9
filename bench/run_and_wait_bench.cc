// Processor time the service spends while RunAndWait waits for a program: the wait must block,
// not spin. Runs `sleep N` (default 10) with a generous time-out and reports the user and system
// time of this process (children excluded) spent inside RunAndWait.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "util/system_utils.h"

namespace {

double SelfCpuMs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  std::string line = "sleep " + std::to_string(seconds);
  const double cpu_before = SelfCpuMs();
  const auto start = std::chrono::steady_clock::now();
  plotspool::RunAndWait(line, 6, static_cast<int16_t>(seconds + 30));
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = SelfCpuMs() - cpu_before;
  std::printf("RunAndWait on '%s': wall %.3f s, own CPU %.3f ms (goal < 20 ms), timed out: %s\n",
              line.c_str(), wall, cpu, plotspool::bRunTimedOut ? "yes" : "no");
  return cpu < 20.0 && !plotspool::bRunTimedOut ? 0 : 1;
}
