// The size and resolution of a TIFF held in memory, for looking at a job without unpacking it.
#ifndef PLOTSPOOL_IMAGING_TIFF_MEASURE_H_
#define PLOTSPOOL_IMAGING_TIFF_MEASURE_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace plotspool {

struct TiffMeasure {
  uint32_t width = 0;  // pixels of the first page
  uint32_t height = 0;
  double x_dpi = 0;  // dots per inch (centimetre units converted); 0 when the file states none
  double y_dpi = 0;
};

// Reads the first directory of the TIFF in `bytes`; no pixel is decoded and nothing is written.
// Throws RuntimeError 380 when the bytes are no TIFF with pixels.
TiffMeasure MeasureTiffBytes(std::string_view bytes);

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_TIFF_MEASURE_H_
