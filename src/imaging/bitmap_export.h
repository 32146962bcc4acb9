// How a decoded TIFF page becomes a bitmap: the bitmap's pixel format for the page's layout and
// the conversion of one packed row.
#ifndef PLOTSPOOL_IMAGING_BITMAP_EXPORT_H_
#define PLOTSPOOL_IMAGING_BITMAP_EXPORT_H_

#include <cstdint>

#include "imaging/bmp_writer.h"
#include "imaging/tiff_page.h"

namespace plotspool {

// Bilevel gray pages become 1-bit bitmaps, other gray pages 8-bit gray, palette pages 8-bit
// (1-bit for two colours) with their palette, colour and ink pages 24-bit colour.
class BitmapRowConverter {
 public:
  // `width` x `height`: the picture as exported (turned or not); the pixel layout is `layout`'s.
  // Throws RuntimeError 380 for a layout without a faithful bitmap (signed, floating-point or
  // 12-bit samples, a Lab colour space, inks other than CMYK, separate
  // sample planes).
  BitmapRowConverter(const PageLayout& layout, uint32_t width, uint32_t height, double x_dpi,
                     double y_dpi);
  const BmpFormat& format() const { return format_; }
  // Converts one packed row of the page into format().PackedRowBytes() bytes at `out`.
  void Convert(const uint8_t* in, uint8_t* out) const;

 private:
  enum class Kind { kCopy, kGrayToByte, kIndexToByte, kColour, kInk };
  Kind kind_ = Kind::kCopy;
  uint16_t bits_ = 8;
  uint16_t samples_ = 1;
  uint32_t width_ = 0;
  BmpFormat format_;
};

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_BITMAP_EXPORT_H_
