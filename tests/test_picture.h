// A picture made in memory for tests of the printed page: every pixel comes from a function.
#ifndef PLOTSPOOL_TESTS_TEST_PICTURE_H_
#define PLOTSPOOL_TESTS_TEST_PICTURE_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>

#include "platform/raster_rows.h"

namespace plotspool::testing {

class TestPicture : public RasterRowSource {
 public:
  // `pixel(x, y)` gives the sample (0/1 for 1-bit, 0..255 for gray, 0xRRGGBB for RGB).
  TestPicture(RasterFormat format, std::function<uint32_t(uint32_t x, uint32_t y)> pixel)
      : format_(format), pixel_(std::move(pixel)) {}

  // Pretends the picture ends after `rows` rows.
  void EndAfter(uint32_t rows) { end_after_ = rows; }
  // Called with the row number before each row is handed out.
  void OnRow(std::function<void(uint32_t)> observer) { on_row_ = std::move(observer); }

  const RasterFormat& format() const override { return format_; }
  bool Rewind() override {
    next_ = 0;
    return true;
  }
  bool NextRow(std::span<uint8_t> row) override {
    if (next_ >= format_.height || next_ >= end_after_) return false;
    if (on_row_) on_row_(next_);
    std::fill(row.begin(), row.end(), 0);
    for (uint32_t x = 0; x < format_.width; ++x) {
      const uint32_t value = pixel_(x, next_);
      if (format_.bits_per_sample == 1) {
        if (value & 1) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
      } else if (format_.samples_per_pixel == 3) {
        row[3 * x] = static_cast<uint8_t>(value >> 16);
        row[3 * x + 1] = static_cast<uint8_t>(value >> 8);
        row[3 * x + 2] = static_cast<uint8_t>(value);
      } else {
        row[x] = static_cast<uint8_t>(value);
      }
    }
    ++next_;
    return true;
  }

 private:
  RasterFormat format_;
  std::function<uint32_t(uint32_t, uint32_t)> pixel_;
  std::function<void(uint32_t)> on_row_;
  uint32_t next_ = 0;
  uint32_t end_after_ = std::numeric_limits<uint32_t>::max();
};

inline RasterFormat Format(uint32_t width, uint32_t height, uint8_t bits, uint8_t samples,
                           bool min_is_white = false) {
  RasterFormat format;
  format.width = width;
  format.height = height;
  format.bits_per_sample = bits;
  format.samples_per_pixel = samples;
  format.min_is_white = min_is_white;
  return format;
}

}  // namespace plotspool::testing

#endif  // PLOTSPOOL_TESTS_TEST_PICTURE_H_
