// Streams one plot-like picture to a print queue and reports the time and the peak memory.
// Usage: CUPS_SERVER=host:port print_stream_bench QUEUE bilevel|rgb [WIDTH HEIGHT]
// Defaults: 1-bit 28087 x 19866 (A0 at 600 dpi), RGB 14043 x 9933 (A0 at 300 dpi).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/printer.h"
#include "platform/raster_rows.h"

namespace {

using plotspool::RasterFormat;

// A drawing's grid: thin lines on white, the rest of each row blank.
class PlotPicture : public plotspool::RasterRowSource {
 public:
  explicit PlotPicture(RasterFormat format) : format_(format) {
    blank_.assign(format.RowBytes(), 0);
    grid_.assign(format.RowBytes(), 0);
    line_.assign(format.RowBytes(), 0);
    if (format.bits_per_sample == 1) {  // min-is-white: 1 is ink
      format_.min_is_white = true;
      for (size_t i = 0; i < line_.size(); ++i) line_[i] = 0xFF;
      for (uint32_t x = 0; x < format.width; x += 300) grid_[x / 8] |= 0x80 >> (x % 8);
    } else {
      std::memset(blank_.data(), 0xFF, blank_.size());
      grid_ = blank_;
      for (uint32_t x = 0; x < format.width; x += 150) grid_[3 * x] = grid_[3 * x + 1] = 0;
      for (size_t i = 0; i < line_.size(); i += 3) line_[i + 2] = 0xC0;  // dark blue
    }
  }
  const RasterFormat& format() const override { return format_; }
  bool Rewind() override {
    row_ = 0;
    return true;
  }
  bool NextRow(std::span<uint8_t> row) override {
    if (row_ >= format_.height) return false;
    const std::vector<uint8_t>& source = row_ % 200 == 0 ? line_ : row_ % 7 == 0 ? grid_ : blank_;
    std::memcpy(row.data(), source.data(), row.size());
    ++row_;
    return true;
  }

 private:
  RasterFormat format_;
  std::vector<uint8_t> blank_, grid_, line_;
  uint32_t row_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s QUEUE bilevel|rgb [WIDTH HEIGHT]\n", argv[0]);
    return 2;
  }
  const bool rgb = std::string(argv[2]) == "rgb";
  RasterFormat format;
  format.width = rgb ? 14043 : 28087;
  format.height = rgb ? 9933 : 19866;
  if (argc >= 5) {
    format.width = static_cast<uint32_t>(std::atol(argv[3]));
    format.height = static_cast<uint32_t>(std::atol(argv[4]));
  }
  format.bits_per_sample = rgb ? 8 : 1;
  format.samples_per_pixel = rgb ? 3 : 1;
  PlotPicture picture(format);

  try {
    plotspool::platform::Printer printer;
    printer.Select({argv[1], ""});
    printer.SetPaper("iso_a0_841x1189mm");
    printer.SetOrientation(plotspool::platform::kLandscape);
    const auto start = std::chrono::steady_clock::now();
    printer.DrawPicture(picture, 0, 0, printer.PageWidthTwips(), printer.PageHeightTwips());
    printer.EndDoc("bench.tif");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s %ux%u: %.2f s, peak RSS %.1f MB\n", rgb ? "rgb" : "bilevel", format.width,
                format.height, seconds, usage.ru_maxrss / 1024.0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
  return 0;
}
