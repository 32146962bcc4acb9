// Load and idle cost of the real service, run as a user runs it (a copy of build/plotspool in a
// directory of its own, no print server, Wartezeit=0):
//   1. JOBS small TIFFs (default 5000) dropped at once over PRINTERS directories (default 10):
//      all must be taken over; resident memory and open descriptors of the service are sampled
//      from the 100th job to the last and must stay flat; jobs per second.
//   2. The processor time of one idle tick over a tree of DIRS empty directories (default 10000),
//      and over a chain of CHAIN directories each inside the previous one (default 1000).
//   3. The processor time per minute with an empty transfer root (goal: under 0.1 s).
// usage: load_bench [--jobs N] [--printers N] [--dirs N] [--chain N] [--idle-seconds S] [--keep]
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sample_plot.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// VmRSS in kB from /proc/<pid>/status.
long ResidentKb(pid_t pid) {
  std::istringstream status(ReadText("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::atol(line.c_str() + 6);
  }
  return -1;
}

long OpenDescriptors(pid_t pid) {
  std::error_code error;
  long count = 0;
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    ++count;
  }
  return count;
}

// Processor time of `pid` in seconds: the scheduler's nanosecond count of its main thread (the
// service has no other), else user plus system time in clock ticks.
double CpuSeconds(pid_t pid) {
  std::istringstream schedstat(ReadText("/proc/" + std::to_string(pid) + "/schedstat"));
  if (double ns = 0; schedstat >> ns) return ns / 1e9;
  const std::string stat = ReadText("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

size_t FilesLeft(const std::vector<fs::path>& dirs) {
  size_t count = 0;
  for (const fs::path& dir : dirs) {
    for (const auto& entry : fs::directory_iterator(dir)) count += entry.is_regular_file() ? 1 : 0;
  }
  return count;
}

std::string Ini(const fs::path& root, int printers) {
  std::string ini =
      "[Global]\nWartezeit=0\nAdminLog=0\nUebergabePfad=" + root.string() + "/\nProgrammEnde=0\n";
  for (int p = 0; p < printers; ++p) ini += "[Plotter" + std::to_string(p) + "]\n";
  return ini;
}

void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Points the service at `root`, lets it settle and returns its processor time per tick in ms.
double IdleTickMs(pid_t pid, const fs::path& home, const fs::path& root) {
  WriteText(home / "plotspool.ini", Ini(root, 0));
  // The next ticks read the new root and list every directory in it, again and again until
  // their times are old enough to be trusted (a large tree takes several ticks of seconds each);
  // then one tick has the system watch them. Wait for the cost to level out.
  Sleep(8);
  for (double last = 1e9, now = 1e9; last - now > 0.002 || now > 1; last = now) {
    const double before = CpuSeconds(pid);
    Sleep(4);
    now = CpuSeconds(pid) - before;
  }
  const double window = 20;
  const double cpu_before = CpuSeconds(pid);
  const auto start = Clock::now();
  Sleep(window);
  const double cpu = CpuSeconds(pid) - cpu_before;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  // A tick starts 1 s after the end of the previous one and is all processor work here.
  const double ticks = (wall - cpu) / 1.0;
  return 1000 * cpu / ticks;
}

}  // namespace

int main(int argc, char** argv) {
  int jobs = 5000, printers = 10, dirs = 10000, chain = 1000;
  double idle_seconds = 60;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--jobs" && i + 1 < argc)
      jobs = std::atoi(argv[++i]);
    else if (arg == "--printers" && i + 1 < argc)
      printers = std::atoi(argv[++i]);
    else if (arg == "--dirs" && i + 1 < argc)
      dirs = std::atoi(argv[++i]);
    else if (arg == "--chain" && i + 1 < argc)
      chain = std::atoi(argv[++i]);
    else if (arg == "--idle-seconds" && i + 1 < argc)
      idle_seconds = std::atof(argv[++i]);
    else if (arg == "--keep")
      keep = true;
    else {
      std::fprintf(stderr,
                   "usage: load_bench [--jobs N] [--printers N] [--dirs N] [--chain N] "
                   "[--idle-seconds S] [--keep]\n");
      return 2;
    }
  }

  char pattern[] = "/tmp/plotspool-load-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path dir = pattern;
  const fs::path home = dir / "service", temp = dir / "tmp", staging = dir / "staging";
  const fs::path root = dir / "root", wide = dir / "wide", deep = dir / "deep";
  const fs::path empty = dir / "empty";
  for (const fs::path& d : {home, temp, staging, root, wide, deep, empty}) {
    fs::create_directories(d);
  }
  const fs::path service = home / "plotspool";
  fs::copy_file(fs::read_symlink("/proc/self/exe").parent_path() / "plotspool", service);
  std::vector<fs::path> printer_dirs;
  for (int p = 0; p < printers; ++p) {
    printer_dirs.push_back(root / ("Plotter" + std::to_string(p)));
    fs::create_directories(printer_dirs.back());
  }
  WriteText(home / "plotspool.ini", Ini(root, printers));

  // One small plot (A4 at 30 dpi, bilevel G4), copied under every job name.
  uint32_t width = 0, height = 0;
  plotspool::PaperPixels("A4", true, 30, &width, &height);
  plotspool::SampleTiffOptions options;
  options.dpi = 30;
  const fs::path model = dir / "model.tif";
  plotspool::WriteSampleTiff(
      model.string(),
      {plotspool::DrawSamplePlot(width, height, 30, plotspool::SampleKind::kBilevel)}, options);
  for (int j = 0; j < jobs; ++j) {
    fs::copy_file(model, staging / ("job-" + std::to_string(j) + ".tif"));
  }

  std::string env_tmp = "TMPDIR=" + temp.string();
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TMPDIR=", 7) != 0) envp.push_back(*e);
  }
  envp.push_back(env_tmp.data());
  envp.push_back(nullptr);
  std::string program = service.string();
  char* service_argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, service_argv, envp.data()) != 0) {
    std::perror("posix_spawn");
    return 1;
  }
  Sleep(2.5);  // the first ticks fill the sections with their defaults

  // 1. Load.
  std::printf("load: %d jobs over %d printer directories, Wartezeit=0, no printer\n", jobs,
              printers);
  const auto dropped = Clock::now();
  for (int j = 0; j < jobs; ++j) {
    const std::string name = "job-" + std::to_string(j) + ".tif";
    fs::rename(staging / name, printer_dirs[j % printers] / name);
  }
  long rss_min = 0, rss_max = 0, fd_min = 0, fd_max = 0, rss_first = 0, rss_last = 0;
  int samples = 0;
  size_t left = jobs;
  const auto give_up = Clock::now() + std::chrono::minutes(30);
  while (left > 0 && Clock::now() < give_up) {
    Sleep(0.2);
    left = FilesLeft(printer_dirs);
    const size_t done = jobs - left;
    if (done < 100 || left == 0) continue;
    const long rss = ResidentKb(pid), fds = OpenDescriptors(pid);
    if (samples++ == 0) {
      rss_min = rss_max = rss_first = rss;
      fd_min = fd_max = fds;
    }
    rss_min = std::min(rss_min, rss), rss_max = std::max(rss_max, rss);
    fd_min = std::min(fd_min, fds), fd_max = std::max(fd_max, fds);
    rss_last = rss;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - dropped).count();
  const std::string log = ReadText(home / "plotspool.log");
  size_t error_lines = 0;
  for (size_t at = log.find("\terror\t"); at != std::string::npos;
       at = log.find("\terror\t", at + 1)) {
    ++error_lines;
  }
  size_t faulty = 0;
  for (const auto& entry : fs::directory_iterator(temp)) {
    faulty += entry.path().filename().string().find("_Datenfehler") != std::string::npos;
  }
  std::printf("  taken over: %zu of %d (left in the tree: %zu, faulty: %zu, error lines: %zu)\n",
              jobs - left, jobs, left, faulty, error_lines);
  std::printf("  %.1f s, %.1f jobs/s (at most 0.2 s of sampling delay included)\n", seconds,
              (jobs - left) / seconds);
  std::printf(
      "  from job 100 to the last, %d samples: VmRSS %ld..%ld kB (first %ld, last %ld),"
      " open fds %ld..%ld\n",
      samples, rss_min, rss_max, rss_first, rss_last, fd_min, fd_max);

  // 2. One idle tick over many empty directories: 100 directories of dirs/100 each; then over a
  // chain, which the service walks only so far.
  for (int d = 0; d < dirs; ++d) {
    fs::create_directories(wide / ("P" + std::to_string(d / 100)) / ("D" + std::to_string(d)));
  }
  const double wide_ms = IdleTickMs(pid, home, wide);
  std::printf("idle tick over %d empty directories: %.2f ms CPU per tick (VmRSS %ld kB)\n", dirs,
              wide_ms, ResidentKb(pid));
  fs::path bottom = deep;
  for (int d = 0; d < chain; ++d) bottom /= "d";
  if (chain > 0) fs::create_directories(bottom);
  std::printf("idle tick over a chain of %d directories: %.2f ms CPU per tick\n", chain,
              IdleTickMs(pid, home, deep));

  // 3. Idle with an empty transfer root.
  WriteText(home / "plotspool.ini", Ini(empty, 0));
  Sleep(3);
  const double cpu_before = CpuSeconds(pid);
  const auto start = Clock::now();
  Sleep(idle_seconds);
  const double cpu = CpuSeconds(pid) - cpu_before;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "idle, empty transfer root: %.3f s CPU per minute (%.2f s over %.0f s; goal < 0.1)"
      "\n",
      cpu * 60 / wall, cpu, wall);

  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  if (keep) {
    std::printf("kept: %s\n", dir.c_str());
  } else {
    fs::remove_all(dir);
  }
  return left == 0 && faulty == 0 ? 0 : 1;
}
