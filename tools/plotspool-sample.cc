// Writes a realistic test plot as a TIFF, e.g. `plotspool-sample A1 landscape 300 plan.tif`.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <tiffio.h>

#include "base/error.h"
#include "sample_plot.h"

namespace {

int Usage() {
  std::fprintf(
      stderr,
      "usage: plotspool-sample PAPER|WIDTHxHEIGHT landscape|portrait DPI OUT.tif [options]\n"
      "  PAPER: A4 A3 A2 A1 A0 A B C D E\n"
      "  --kind bilevel|gray|rgb|palette  (default bilevel)\n"
      "  --compression g4|g3|packbits|lzw|deflate|jpeg|none  (default g4 / lzw)\n"
      "  --predictor      horizontal differencing (lzw, deflate)\n"
      "  --rows N         rows per strip (0 = one strip; default 64)\n"
      "  --tile N         tiles of N x N pixels (multiple of 16)\n"
      "  --big-endian     write Motorola byte order\n"
      "  --pages N        N pages (further pages are quarter-size sheets)\n"
      "  --unit inch|cm|none   resolution unit (none: no resolution tags)\n"
      "  --noise          random pixels instead of a drawing (incompressible; not palette)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace plotspool;
  if (argc < 5) return Usage();
  const std::string paper = argv[1];
  const bool landscape = std::strcmp(argv[2], "landscape") == 0;
  if (!landscape && std::strcmp(argv[2], "portrait") != 0) return Usage();
  const double dpi = std::atof(argv[3]);
  const std::string out = argv[4];
  if (dpi <= 0) return Usage();
  uint32_t width = 0, height = 0;
  if (!PaperPixels(paper, landscape, dpi, &width, &height)) {
    unsigned w = 0, h = 0;
    if (std::sscanf(paper.c_str(), "%ux%u", &w, &h) != 2 || w == 0 || h == 0) return Usage();
    width = landscape ? std::max(w, h) : std::min(w, h);
    height = landscape ? std::min(w, h) : std::max(w, h);
  }
  SampleKind kind = SampleKind::kBilevel;
  SampleTiffOptions options;
  options.dpi = dpi;
  int pages = 1;
  bool noise = false;
  for (int i = 5; i < argc; ++i) {
    const std::string option = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (option == "--predictor") {
      options.predictor = true;
    } else if (option == "--big-endian") {
      options.big_endian = true;
    } else if (option == "--noise") {
      noise = true;
    } else if (value == nullptr) {
      return Usage();
    } else if (++i; option == "--kind") {
      const std::string k = value;
      kind = k == "gray"      ? SampleKind::kGray
             : k == "rgb"     ? SampleKind::kRgb
             : k == "palette" ? SampleKind::kPalette
             : k == "bilevel" ? SampleKind::kBilevel
                              : static_cast<SampleKind>(-1);
      if (static_cast<int>(kind) < 0) return Usage();
    } else if (option == "--compression") {
      const std::string c = value;
      options.compression = c == "g4"         ? COMPRESSION_CCITTFAX4
                            : c == "g3"       ? COMPRESSION_CCITTFAX3
                            : c == "packbits" ? COMPRESSION_PACKBITS
                            : c == "lzw"      ? COMPRESSION_LZW
                            : c == "deflate"  ? COMPRESSION_ADOBE_DEFLATE
                            : c == "jpeg"     ? COMPRESSION_JPEG
                            : c == "none"     ? COMPRESSION_NONE
                                              : 0xFFFF;
      if (options.compression == 0xFFFF) return Usage();
    } else if (option == "--rows") {
      options.rows_per_strip = static_cast<uint32_t>(std::atol(value));
    } else if (option == "--tile") {
      options.tile = static_cast<uint32_t>(std::atol(value));
      if (options.tile == 0 || options.tile % 16 != 0) return Usage();
    } else if (option == "--pages") {
      pages = std::atoi(value);
      if (pages < 1) return Usage();
    } else if (option == "--unit") {
      const std::string u = value;
      if (u == "cm") {
        options.unit = SampleResolution::kCentimetre;
      } else if (u == "none") {
        options.unit = SampleResolution::kMissing;
      } else if (u != "inch") {
        return Usage();
      }
    } else {
      return Usage();
    }
  }
  if (noise && kind == SampleKind::kPalette) return Usage();  // indexes past the palette
  try {
    std::vector<SampleImage> images;
    images.push_back(noise ? BlankImage(width, height, kind)
                           : DrawSamplePlot(width, height, dpi, kind));
    if (noise) {
      uint64_t state =
          0x9e3779b97f4a7c15u;  // xorshift64: fixed, so equal arguments give equal files
      for (uint8_t& byte : images.back().pixels) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<uint8_t>(state >> 24);
      }
    }
    for (int p = 1; p < pages; ++p) {
      images.push_back(
          DrawSamplePlot(std::max(width / 4, 16u), std::max(height / 4, 16u), dpi / 4, kind));
    }
    WriteSampleTiff(out, images, options);
  } catch (const RuntimeError& e) {
    std::fprintf(stderr, "plotspool-sample: %s\n", e.what());
    return 1;
  }
  std::printf("%s: %ux%u pixels at %g dpi\n", out.c_str(), width, height, dpi);
  return 0;
}
