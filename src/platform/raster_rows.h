// A picture handed out row by row, so that a consumer (the printed page) can stream an image of
// any size in constant memory.
#ifndef PLOTSPOOL_PLATFORM_RASTER_ROWS_H_
#define PLOTSPOOL_PLATFORM_RASTER_ROWS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace plotspool {

// How samples are coloured. Device pictures are gray, RGB or CMYK by their samples per pixel.
enum class RasterColours : uint8_t {
  kDevice,
  kLab,      // L* a* b*, three samples: L* 0..100 and a*, b* over lab_range
  kIndexed,  // one index per pixel into `palette`
};

struct RasterFormat {
  uint32_t width = 0;
  uint32_t height = 0;
  // 1, 2, 4, 8 or 16; 16-bit samples are big-endian. Only device gray and indexed pictures have
  // fewer than 8.
  uint8_t bits_per_sample = 8;
  uint8_t samples_per_pixel = 1;  // 1 gray or index, 3 RGB or Lab, 4 CMYK
  RasterColours colours = RasterColours::kDevice;
  // For gray pictures: true when sample value 0 is white (otherwise 0 is black).
  bool min_is_white = false;
  // Lab pictures: the a* and b* values (min, max, min, max) of sample values 0 and the maximum.
  std::array<double, 4> lab_range{-128, 127, -128, 127};
  std::vector<uint32_t> palette;  // indexed pictures: 0xRRGGBB, at most 256 entries

  // Bytes of one packed row: no padding, samples in colour order, rows of less than 8 bits
  // MSB first.
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

#endif  // PLOTSPOOL_PLATFORM_RASTER_ROWS_H_
