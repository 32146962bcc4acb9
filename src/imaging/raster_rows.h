// A picture handed out row by row, so that a consumer (the printed page) can stream an image of
// any size in constant memory.
#ifndef PLOTSPOOL_IMAGING_RASTER_ROWS_H_
#define PLOTSPOOL_IMAGING_RASTER_ROWS_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace plotspool {

struct RasterFormat {
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t bits_per_sample = 8;    // 1 (bilevel) or 8
  uint8_t samples_per_pixel = 1;  // 1 gray, 3 RGB
  // For gray pictures: true when sample value 0 is white (otherwise 0 is black).
  bool min_is_white = false;

  // Bytes of one packed row: no padding, RGB in that order, 1-bit rows MSB first.
  size_t RowBytes() const {
    return (static_cast<size_t>(width) * bits_per_sample * samples_per_pixel + 7) / 8;
  }
};

class RasterRowSource {
 public:
  virtual ~RasterRowSource() = default;
  virtual const RasterFormat& format() const = 0;
  // Restarts at the top row. False when the picture cannot be read again.
  virtual bool Rewind() = 0;
  // Fills `row` (format().RowBytes() bytes) with the next row, top row first. False at the end
  // or on a read failure; a consumer treats a short picture as a failure.
  virtual bool NextRow(std::span<uint8_t> row) = 0;
};

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_RASTER_ROWS_H_
