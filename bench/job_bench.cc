// The whole job of one large plot: detection, turn, save, bitmap export, print to a queue, copy.
// Reports the wall time and the peak memory of the job.
// Usage: CUPS_SERVER=host:port job_bench QUEUE [PAPER DPI KIND]   (default A0 600 bilevel)
//        KIND: bilevel | gray | rgb.  bench/job_bench.sh starts a private print server for it.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/app_paths.h"
#include "jobs/process_plot_file.h"
#include "sample_plot.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: job_bench QUEUE [PAPER DPI bilevel|gray|rgb]\n");
    return 2;
  }
  const std::string queue = argv[1];
  const std::string paper = argc > 2 ? argv[2] : "A0";
  const double dpi = argc > 3 ? std::atof(argv[3]) : 600;
  const std::string kind_name = argc > 4 ? argv[4] : "bilevel";
  const plotspool::SampleKind kind = kind_name == "rgb"    ? plotspool::SampleKind::kRgb
                                     : kind_name == "gray" ? plotspool::SampleKind::kGray
                                                           : plotspool::SampleKind::kBilevel;

  char pattern[] = "/tmp/plotspool-job-bench-XXXXXX";
  const fs::path dir = mkdtemp(pattern);
  const fs::path printer = dir / "root" / "Plotter1";
  fs::create_directories(printer);
  fs::create_directories(dir / "tmp");
  setenv("TMPDIR", (dir / "tmp").c_str(), 1);
  plotspool::SetAppPaths((dir / "plotspool").string());
  // Landscape plots turned to portrait, printed and copied.
  std::ofstream(plotspool::IniFile)
      << "[Plotter1]\nsPrinterName=" << queue << "\nsOutputFolder=" << (dir / "out").string()
      << "\nsOrientation" << paper << "=H\n";

  uint32_t width = 0, height = 0;
  plotspool::PaperPixels(paper, true, dpi, &width, &height);
  // Drawn in a child, so that the drawing's memory does not count as the job's.
  if (const pid_t child = fork(); child == 0) {
    plotspool::SampleTiffOptions options;
    options.dpi = dpi;
    options.predictor = kind != plotspool::SampleKind::kBilevel;
    plotspool::WriteSampleTiff((printer / "plan.tif").string(),
                               {plotspool::DrawSamplePlot(width, height, dpi, kind)}, options);
    _exit(0);
  } else {
    waitpid(child, nullptr, 0);
  }
  struct rusage before {};
  getrusage(RUSAGE_SELF, &before);

  const auto start = std::chrono::steady_clock::now();
  plotspool::ProcessPlotFile("plan.tif", printer.string() + "/");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  struct rusage after {};
  getrusage(RUSAGE_SELF, &after);
  std::string log;
  std::getline(std::ifstream(plotspool::LogFile), log);
  std::printf(
      "%s %s %.0f dpi %ux%u: job %.2f s, peak RSS %.0f MB (%.0f MB before the job)\n  log: %s\n",
      paper.c_str(), kind_name.c_str(), dpi, width, height, seconds, after.ru_maxrss / 1024.0,
      before.ru_maxrss / 1024.0, log.c_str());
  fs::remove_all(dir);
  return log.find("\tinfo\tPrint ") != std::string::npos ? 0 : 1;
}
