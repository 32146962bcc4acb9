// Realistic test plots: a drawing sheet with frame, title block, single-stroke text, a
// floor-plan grid with hatched and tinted rooms, about 5 % ink; deterministic for equal
// arguments. Written with libtiff in the layouts plot rooms send. For tests, benchmarks, demos.
#ifndef PLOTSPOOL_TOOLS_SAMPLE_PLOT_H_
#define PLOTSPOOL_TOOLS_SAMPLE_PLOT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace plotspool {

enum class SampleKind { kBilevel, kGray, kRgb, kPalette };

struct SampleImage {
  uint32_t width = 0;
  uint32_t height = 0;
  SampleKind kind = SampleKind::kBilevel;
  // Packed rows: bilevel 1 bit (1 = black), gray 8 bits, RGB 24 bits, palette 8-bit indexes.
  std::vector<uint8_t> pixels;
  std::vector<uint32_t> palette;  // 0xRRGGBB, for kPalette

  size_t RowBytes() const;
  uint8_t* Row(uint32_t y) { return pixels.data() + y * RowBytes(); }
  const uint8_t* Row(uint32_t y) const { return pixels.data() + y * RowBytes(); }
};

// A blank (white) picture.
SampleImage BlankImage(uint32_t width, uint32_t height, SampleKind kind);
// A drawing sheet of `width` x `height` pixels at `dpi`.
SampleImage DrawSamplePlot(uint32_t width, uint32_t height, double dpi, SampleKind kind);

enum class SampleResolution { kInch, kCentimetre, kMissing };

struct SampleTiffOptions {
  uint16_t compression = 0;      // 0: CCITT G4 for bilevel, LZW otherwise
  bool predictor = false;        // horizontal differencing (LZW and Deflate)
  uint32_t rows_per_strip = 64;  // 0: one strip
  uint32_t tile = 0;             // tile edge in pixels (multiple of 16); 0: strips
  bool big_endian = false;
  double dpi = 300;  // dots per inch, stored in the unit below
  SampleResolution unit = SampleResolution::kInch;
  bool min_is_black = false;  // bilevel: store 0 as black instead of 0 as white
};

// Writes `pages` (at least one) as a TIFF at `path`, each page with `options`. Throws
// RuntimeError 75 when libtiff cannot write.
void WriteSampleTiff(const std::string& path, const std::vector<SampleImage>& pages,
                     const SampleTiffOptions& options);

// Pixel size of a paper format ("A4".."A0", "A".."E") at `dpi`; false for an unknown name.
bool PaperPixels(const std::string& paper, bool landscape, double dpi, uint32_t* width,
                 uint32_t* height);

}  // namespace plotspool

#endif  // PLOTSPOOL_TOOLS_SAMPLE_PLOT_H_
