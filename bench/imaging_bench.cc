// Imaging work of one job on realistic plots: load, measure, turn, save, bitmap export, in
// seconds and peak resident memory. Each job runs in a fresh process so that its peak is its own.
//
//   imaging_bench [DIR]            generates the plots into DIR (default /tmp/plotspool-bench)
//                                  once, then measures every plot turned and not turned
//   imaging_bench --job FILE turn|keep   one job on a copy of FILE (used by the above)
//
// TURN_BAND_MB=N sets the turn's band size (a large N turns every plot whole, for comparison).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <tiffio.h>

#include "base/error.h"
#include "imaging/banded_turn.h"
#include "imaging/imaging_control.h"
#include "sample_plot.h"

namespace {

using namespace plotspool;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Peak resident set of this process in MB, from the kernel's own accounting.
long PeakMb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6) / 1024;
  }
  return -1;
}

int RunJob(const std::string& source, bool turn) {
  const std::string job = source + (turn ? ".turn.tif" : ".keep.tif");
  const std::string bitmap = job + ".bmp";
  std::filesystem::copy_file(source, job, std::filesystem::copy_options::overwrite_existing);
  if (const char* band_mb = std::getenv("TURN_BAND_MB")) {
    SetTurnBandBytes(std::strtoull(band_mb, nullptr, 10) << 20);
  }
  try {
    ImagingControl control;
    const auto start = Clock::now();
    control.Load(job);
    const double mm = control.ImageWidth() / control.HorizontalResolution() * 25.4;
    const double load = Seconds(start);
    auto t = Clock::now();
    if (turn) control.RotateRight();
    control.Save();
    const double save = Seconds(t);
    t = Clock::now();
    control.SaveAs(bitmap, ImageFileType::kBitmap);
    const double export_s = Seconds(t);
    control.Save();
    const double total = Seconds(start);
    std::printf("%-28s %-5s %8.3f %8.3f %8.3f %8.3f %7ld  (%.0f mm wide)\n",
                std::filesystem::path(source).filename().c_str(), turn ? "turn" : "keep", load,
                save, export_s, total, PeakMb(), mm);
  } catch (const RuntimeError& e) {
    std::fprintf(stderr, "%s: %s\n", job.c_str(), e.what());
    return 1;
  }
  std::filesystem::remove(job);
  std::filesystem::remove(bitmap);
  return 0;
}

struct Plot {
  const char* name;
  const char* paper;
  double dpi;
  SampleKind kind;
  uint16_t compression;
  bool predictor;
};

constexpr Plot kPlots[] = {
    {"a0_600_bilevel_g4.tif", "A0", 600, SampleKind::kBilevel, COMPRESSION_CCITTFAX4, false},
    {"a1_400_bilevel_g4.tif", "A1", 400, SampleKind::kBilevel, COMPRESSION_CCITTFAX4, false},
    {"a1_300_gray_lzw.tif", "A1", 300, SampleKind::kGray, COMPRESSION_LZW, false},
    {"a0_300_rgb_lzw_predictor.tif", "A0", 300, SampleKind::kRgb, COMPRESSION_LZW, true},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--job") {
    return RunJob(argv[2], std::string(argv[3]) == "turn");
  }
  const std::filesystem::path dir = argc > 1 ? argv[1] : "/tmp/plotspool-bench";
  std::filesystem::create_directories(dir);
  for (const Plot& plot : kPlots) {
    const std::filesystem::path path = dir / plot.name;
    if (std::filesystem::exists(path)) continue;
    uint32_t width = 0, height = 0;
    PaperPixels(plot.paper, true, plot.dpi, &width, &height);
    SampleTiffOptions options;
    options.compression = plot.compression;
    options.predictor = plot.predictor;
    options.dpi = plot.dpi;
    std::fprintf(stderr, "generating %s (%ux%u)\n", path.c_str(), width, height);
    WriteSampleTiff(path, {DrawSamplePlot(width, height, plot.dpi, plot.kind)}, options);
  }
  std::printf("%-28s %-5s %8s %8s %8s %8s %7s\n", "plot", "job", "load_s", "save_s", "bmp_s",
              "total_s", "peak_MB");
  std::fflush(stdout);
  int failures = 0;
  for (const Plot& plot : kPlots) {
    for (const char* mode : {"keep", "turn"}) {
      const std::string command =
          std::string("\"") + argv[0] + "\" --job \"" + (dir / plot.name).string() + "\" " + mode;
      failures += std::system(command.c_str()) != 0;
    }
  }
  return failures == 0 ? 0 : 1;
}
