// The first page of a TIFF as this program handles it: its layout (read from the directory
// alone, no pixel is decoded) and a reader that decodes its rows top-down in constant memory.
// Measuring needs only the size and resolution, which every page libtiff opens has; whether
// this program can decode the pixels is recorded, and only a decode refuses.
#ifndef PLOTSPOOL_IMAGING_TIFF_PAGE_H_
#define PLOTSPOOL_IMAGING_TIFF_PAGE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "imaging/tiff_file.h"

namespace plotspool {

// The largest decoded image (packed rows) that is ever held in memory, whatever the settings.
// One place, so that a hostile header declaring 10^6 x 10^6 pixels is refused before anything
// is allocated.
inline constexpr uint64_t kMaxDecodedBytes = uint64_t{4} << 30;

// The decoded size a turn may hold in memory, 0 < limit <= kMaxDecodedBytes. Process-wide, set
// from the service's settings before each job; kMaxDecodedBytes until then.
uint64_t DecodedSizeLimit();
void SetDecodedSizeLimit(uint64_t bytes);

// The limit for a setting of `megabytes`: that many MB, or for 0 (automatic) a quarter of
// `physical_bytes` (kMaxDecodedBytes when that is 0, unknown); never above kMaxDecodedBytes
// and never below 1 MB.
uint64_t DecodedSizeLimitFor(uint64_t megabytes, uint64_t physical_bytes);

struct PageLayout {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bits_per_sample = 1;
  uint16_t samples_per_pixel = 1;  // as decoded (YCbCr JPEG is decoded to 3 RGB samples)
  uint16_t photometric = 0;        // as stored (as decoded when decoded_rgba)
  uint16_t compression = 1;
  uint16_t sample_format = 1;  // SAMPLEFORMAT_UINT, _INT or _IEEEFP
  uint16_t extra_samples = 0;  // of samples_per_pixel, beyond the colour channels
  // The kind of the first extra sample (EXTRASAMPLE_ASSOCALPHA, _UNASSALPHA or _UNSPECIFIED).
  uint16_t first_extra_kind = 0;
  uint16_t ink_set = 1;                // INKSET_CMYK unless the file says otherwise
  std::vector<std::string> ink_names;  // separated pages: the InkNames, one per colour sample
  // Sample planes stored one after the other (planar configuration "separate"): each plane is a
  // picture of its own, of one sample per pixel, decoded and turned on its own. 1 otherwise.
  uint16_t planes = 1;
  bool ycbcr_as_rgb = false;  // JPEG YCbCr, read and written through libtiff's RGB mode
  // Old-style JPEG, decoded through libtiff's RGBA reader into 8-bit gray or RGB (see
  // DecodesThroughRgba); `photometric` and the samples are then those of the decoded rows.
  bool decoded_rgba = false;
  // SGI log-luminance pages are moved as their encoded values, which libtiff hands over in the
  // data format named here (SGILOGDATAFMT_RAW: packed 32-bit Luv, _16BIT: 16-bit LogL); 0 for
  // other pages. libtiff then describes the samples with other tags than the file's, which are
  // kept in the file_ fields to be written back unchanged.
  int sgilog_format = 0;
  uint16_t file_bits_per_sample = 0;
  uint16_t file_samples_per_pixel = 0;
  uint16_t file_sample_format = 0;
  bool tiled = false;
  uint32_t rows_per_strip = 0;
  uint32_t tile_width = 0;
  uint32_t tile_length = 0;
  double x_dpi = 0;  // 0 when the file states no usable resolution
  double y_dpi = 0;
  size_t row_bytes = 0;            // one packed decoded row (of one plane)
  std::vector<uint16_t> colormap;  // palette images: red, green, blue runs of 1 << bits each
  // Why this program cannot decode the page (a layout it does not handle); empty when it can.
  std::string unsupported;

  // Bits of one pixel of one plane.
  uint32_t pixel_bits() const {
    return planes > 1 ? bits_per_sample : uint32_t{bits_per_sample} * samples_per_pixel;
  }
  uint64_t decoded_bytes() const { return uint64_t{row_bytes} * height * planes; }
  uint32_t strips_per_plane() const {
    return rows_per_strip == 0 ? 0 : (height + rows_per_strip - 1) / rows_per_strip;
  }
};

// Old-style JPEG: no codec writes it, and its decoder hands over subsampled YCbCr, so its pages
// are decoded to 8-bit gray or RGB through libtiff's RGBA reader and written losslessly as that.
bool DecodesThroughRgba(uint16_t compression);
// Samples per pixel of such a page once decoded: 1 for gray, 3 for anything else.
uint16_t RgbaDecodedSamples(uint16_t stored_photometric);

// Layout of the current directory of `file`. Throws RuntimeError 380 only for a page without
// pixels (a width or height of 0); a layout this program cannot decode is noted in
// `unsupported`.
PageLayout ReadPageLayout(TiffFile& file);

// Throws RuntimeError 380 (with the reason) when this program cannot decode the page, and 57
// (with libtiff's report) when libtiff already reported damage on `file`, a repaired directory.
void RequireDecodable(const TiffFile& file, const PageLayout& layout);

// Throws RuntimeError 7 when the decoded page (with the band an old-style JPEG page is decoded
// through) is larger than DecodedSizeLimit(), naming both.
void RequireDecodedSizeWithinLimit(const PageLayout& layout);

// Decodes the rows of the current directory top-down. Strips are decoded whole when small and
// row by row otherwise, tiles one band at a time, so memory stays small whatever the image size.
class TiffRowReader {
 public:
  // Starts at row `first_row` (best at the first row of a strip or tile band) of sample plane
  // `plane` (0 unless the page has separate planes). Throws as RequireDecodable.
  TiffRowReader(TiffFile& file, const PageLayout& layout, uint32_t first_row = 0,
                uint16_t plane = 0);
  TiffRowReader(const TiffRowReader&) = delete;
  TiffRowReader& operator=(const TiffRowReader&) = delete;
  ~TiffRowReader();

  // The next row (layout.row_bytes bytes), valid until the next call. Throws RuntimeError 57,
  // with libtiff's reason, when the pixel data cannot be decoded or libtiff reported it damaged
  // (truncated or corrupt), even if the read itself returned every byte.
  const uint8_t* NextRow();

 private:
  void Fail() const;
  void LoadStrip(uint32_t strip);
  bool DecodeLzwStripDirectly(uint32_t index, uint32_t rows);
  void LoadTileBand(uint32_t band);
  void LoadRgbaBand(uint32_t band);
  struct RgbaImage;  // libtiff's RGBA reader, for decoded_rgba pages

  TiffFile& file_;
  const PageLayout& layout_;
  uint32_t next_row_ = 0;
  uint16_t plane_ = 0;
  bool whole_strips_ = false;
  // Whole LZW strips in the common form are decoded here rather than by libtiff (see
  // imaging/lzw_decoder.h), then undifferenced with this stride when it is not 0.
  bool lzw_strips_ = false;
  size_t predictor_stride_ = 0;
  std::vector<uint8_t> raw_;
  uint32_t band_rows_ = 0;   // rows per strip or tile band held in buffer_
  uint32_t band_first_ = 0;  // first image row in buffer_
  bool band_loaded_ = false;
  std::unique_ptr<uint8_t[]> buffer_;
  std::unique_ptr<uint8_t[]> tile_;
  std::unique_ptr<RgbaImage> rgba_;
  std::unique_ptr<uint32_t[]> raster_;
};

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_TIFF_PAGE_H_
