// Drives the GDI printer by hand against whatever queues Wine's spooler shows: lists them, sets
// paper numbers, prints one small picture per colour format on `queue` and asks for its job.
//   printer_probe QUEUE [PAPER_NUMBER [SAMPLES_PER_PIXEL [BITS_PER_SAMPLE]]]
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <span>
#include <string>

#include "platform/printer.h"

namespace {

using namespace plotspool;
using namespace plotspool::platform;

// A diagonal ramp in any byte-sized format.
class Ramp : public RasterRowSource {
 public:
  explicit Ramp(RasterFormat format) : format_(std::move(format)) {}
  const RasterFormat& format() const override { return format_; }
  bool Rewind() override {
    row_ = 0;
    return true;
  }
  bool NextRow(std::span<uint8_t> row) override {
    if (row_ >= format_.height) return false;
    for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(i + row_);
    ++row_;
    return true;
  }

 private:
  RasterFormat format_;
  uint32_t row_ = 0;
};

void Report(const char* what, const std::function<void()>& step) {
  try {
    step();
  } catch (const RuntimeError& error) {
    std::printf("%s: error %d %s\n", what, error.number(), error.description().c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  const std::string queue = argv[1];
  const int16_t paper = static_cast<int16_t>(argc > 2 ? std::atoi(argv[2]) : 8);
  Printer printer;
  Report("list", [&] {
    for (const InstalledPrinter& p : InstalledPrinters()) {
      std::printf("printer \"%s\" driver \"%s\"\n", p.device_name.c_str(), p.driver_name.c_str());
      if (p.device_name == queue) printer.Select(p);
    }
  });
  if (!printer.selected()) return 2;
  std::printf("default paper \"%s\" %d x %d twips\n", printer.paper_name().c_str(),
              printer.PageWidthTwips(), printer.PageHeightTwips());
  Report("paper 163", [&] { printer.SetPaperNumber(163); });
  Report("paper", [&] { printer.SetPaperNumber(paper); });
  std::printf("paper \"%s\" %d x %d twips\n", printer.paper_name().c_str(),
              printer.PageWidthTwips(), printer.PageHeightTwips());
  printer.SetOrientation(kLandscape);
  std::printf("landscape %d x %d twips\n", printer.PageWidthTwips(), printer.PageHeightTwips());
  printer.SetOrientation(kPortrait);
  RasterFormat format;
  format.width = 300;
  format.height = 200;
  format.samples_per_pixel = static_cast<uint8_t>(argc > 3 ? std::atoi(argv[3]) : 3);
  format.bits_per_sample = static_cast<uint8_t>(argc > 4 ? std::atoi(argv[4]) : 8);
  format.min_is_white = format.bits_per_sample == 1;
  Ramp ramp(format);
  int job = 0;
  Report("print", [&] {
    printer.DrawPicture(ramp, 0, 0, 1440 * 4, 1440 * 3);
    printer.EndDoc("probe.tif", [&](int id) { job = id; });
    std::printf("printed as job %d\n", job);
  });
  Report("fate", [&] {
    std::printf("fate %s\n", AskPrintJobFate(queue, job) == PrintJobFate::kReceived
                                 ? "received"
                                 : "not received");
  });
  Report("status", [&] {
    const auto status = AskPrintJobStatus(job);
    std::printf("status %s\n", status ? status->reason.c_str() : "unknown");
  });
  Report("unfinished", [&] { std::printf("unfinished %zu\n", UnfinishedPrintJobs().size()); });
  Report("stopped",
         [&] { std::printf("stopped %s\n", QueueStopReason(queue).value_or("no").c_str()); });
  Report("knows", [&] {
    std::printf("knows A3 %d\n", QueueKnowsMedia(queue, "iso_a3_297x420mm").value_or(-1));
  });
  return 0;
}
