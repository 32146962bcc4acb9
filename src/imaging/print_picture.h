// The picture that goes to the printer for a page whose samples a bitmap cannot carry: its
// description (device gray, RGB or CMYK, Lab, or indexed, of 8 or 16 bits) and the conversion of
// one decoded row into it, and the uncompressed file that carries it from the imaging control to
// the picture box.
//
// The conversions, chosen to show what the samples mean rather than to keep every bit:
// - unsigned samples of 8 or 16 bits are kept; other depths are scaled onto 8 bits (up to 8) or
//   16 bits (above), so that 0 and the maximum stay black and white;
// - signed samples are shifted by half their range (the lowest value becomes 0, the highest the
//   maximum), then treated as unsigned; Lab's a* and b* keep their meaning instead;
// - floating-point samples are read as 0.0 (black, or no ink) to 1.0, clipped, onto 16 bits;
//   for Lab, L* 0 to 100 and a*, b* -128 to 127 as stored;
// - an alpha sample is flattened onto white paper (premultiplied or not, as the file says),
//   further extra samples are dropped; a page goes to paper, so a soft mask would look the same;
// - separate sample planes are interleaved, and a single ink is gray with 0 as white;
// - inks named Cyan, Magenta, Yellow or Black (InkNames, any order, any number of them, a single
//   one too unless it is Black) print as CMYK, each ink as itself and the missing ones bare.
#ifndef PLOTSPOOL_IMAGING_PRINT_PICTURE_H_
#define PLOTSPOOL_IMAGING_PRINT_PICTURE_H_

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "imaging/tiff_page.h"
#include "platform/raster_rows.h"
#include "platform/raw_file.h"

namespace plotspool {

// True for the pages a bitmap carries exactly (unsigned gray of 1 to 8 bits, 8-bit RGB, no
// extra samples): they keep the bitmap path.
bool BitmapCarriesExactly(const PageLayout& layout);

class PrintRowConverter {
 public:
  // `width` x `height`: the picture as printed (turned or not). Throws RuntimeError 380 for a
  // layout whose colours are unknown (several inks, one of them not named as a process ink).
  PrintRowConverter(const PageLayout& layout, uint32_t width, uint32_t height);
  const RasterFormat& format() const { return format_; }
  // Converts one row: `planes` holds one decoded row per sample plane (one for contiguous
  // pages); writes format().RowBytes() bytes at `out`.
  void Convert(std::span<const uint8_t* const> planes, uint8_t* out) const;

  // How one output sample is made from the page's samples (public for the .cc's helpers).
  struct Channel {
    int source = -1;               // sample index in the pixel; -1: always `white`
    double scale = 1, offset = 0;  // value = unit value * scale + offset
    double low = 0, high = 1;      // values printed as 0 and as the maximum
    double white = 1;              // the value of bare paper
  };

 private:
  enum class Kind { kCopy, kSwap16, kIndexUnpack, kIndexToRgb, kSamples };
  Kind kind_ = Kind::kSamples;
  uint16_t bits_ = 8;
  uint16_t samples_ = 1;  // samples per pixel of the page
  bool planar_ = false;
  uint16_t sample_format_ = 1;
  bool signed_ab_ = false;  // CIELab: a* and b* are signed whatever the sample format
  int alpha_ = -1;          // sample index of the alpha to flatten, or -1
  bool premultiplied_ = false;
  std::vector<Channel> channels_;
  std::vector<uint16_t> colormap_;  // kIndexToRgb: 16-bit red, green, blue runs
  RasterFormat format_;
};

// Streams a picture into an uncompressed print-picture file: a short header, then the rows
// top-down exactly as RasterRowSource hands them out. `file` must outlive the writer.
class PrintPictureWriter {
 public:
  PrintPictureWriter(platform::RawFile& file, const RasterFormat& format);
  PrintPictureWriter(const PrintPictureWriter&) = delete;
  PrintPictureWriter& operator=(const PrintPictureWriter&) = delete;
  // Next row, format.RowBytes() bytes. Throws RuntimeError on a write failure.
  void WriteRow(std::span<const uint8_t> row);
  // Writes what is buffered; throws when fewer rows than the height were written.
  void Finish();

 private:
  void Flush();
  platform::RawFile& file_;
  RasterFormat format_;
  uint64_t offset_ = 0;
  uint32_t rows_ = 0;
  std::vector<uint8_t> buffer_;
};

// Reads the header of a print-picture file: its format and where its rows start. Empty when the
// file is no print picture (a bitmap, say); throws RuntimeError 481 for a damaged header.
std::optional<RasterFormat> ReadPrintPictureHeader(const platform::RawFile& file,
                                                   uint64_t& pixel_offset);

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_PRINT_PICTURE_H_
