#include "imaging/tiff_page.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "base/error.h"
#include "imaging/lzw_decoder.h"

namespace plotspool {
namespace {

// A strip up to this size is decoded in one call (fastest); larger ones row by row.
constexpr uint64_t kWholeStripLimit = uint64_t{16} << 20;
// No plot room tiles like this; a larger tile is a hostile header.
constexpr uint64_t kMaxTileBytes = uint64_t{256} << 20;
// libtiff's RGBA reader decodes a whole strip or band of tiles at once, 4 bytes a pixel.
constexpr uint64_t kMaxRgbaBandBytes = uint64_t{512} << 20;

[[noreturn]] void Refuse(const std::string& why) {
  throw RuntimeError(kInvalidPropertyValue, "Invalid property value (" + why + ")");
}

double Resolution(TIFF* tif, ttag_t tag, uint16_t unit) {
  float value = 0;
  if (TIFFGetField(tif, tag, &value) != 1) return 0;
  if (!std::isfinite(value) || value <= 0) return 0;
  return unit == RESUNIT_CENTIMETER ? value * 2.54 : value;
}

uint64_t decoded_size_limit = kMaxDecodedBytes;

// Old-style JPEG pages: whether libtiff's RGBA reader takes the page, and the tiles it reads.
std::string CheckRgbaSupported(TIFF* tif, PageLayout& page) {
  char why[1024] = "";
  if (TIFFRGBAImageOK(tif, why) != 1) return std::string("old-style JPEG: ") + why;
  if (page.tiled && (TIFFGetField(tif, TIFFTAG_TILEWIDTH, &page.tile_width) != 1 ||
                     TIFFGetField(tif, TIFFTAG_TILELENGTH, &page.tile_length) != 1 ||
                     page.tile_width == 0 || page.tile_length == 0)) {
    return "bad tiles";
  }
  const uint32_t band_rows = page.tiled ? page.tile_length : page.rows_per_strip;
  if (uint64_t{page.width} * std::min(band_rows, page.height) * 4 > kMaxRgbaBandBytes) {
    return "old-style JPEG strips too large";
  }
  return {};
}

// Asks the SGI log codecs of `tif` to hand over their encoded values: packed 32-bit Luv, or the
// 16-bit LogL value. This changes libtiff's idea of the sample tags, so the file's own are
// recorded first.
void UseSgiLogEncodedValues(TIFF* tif, PageLayout& page) {
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &page.file_bits_per_sample);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &page.file_samples_per_pixel);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &page.file_sample_format);
  const int format = page.photometric == PHOTOMETRIC_LOGL ? SGILOGDATAFMT_16BIT : SGILOGDATAFMT_RAW;
  if (TIFFSetField(tif, TIFFTAG_SGILOGDATAFMT, format) == 1) page.sgilog_format = format;
}

// libtiff keeps the InkNames tag only when its last name ends in a NUL, and counts its names
// in NumberOfInks; a name for each colour sample (extra samples not counted) is kept.
void ReadInkNames(TIFF* tif, PageLayout& page) {
  const char* names = nullptr;
  uint16_t count = 0;
  if (TIFFGetField(tif, TIFFTAG_INKNAMES, &names) != 1 || names == nullptr ||
      TIFFGetField(tif, TIFFTAG_NUMBEROFINKS, &count) != 1) {
    return;
  }
  const int colour_samples = page.samples_per_pixel - page.extra_samples;
  for (int i = 0; i < std::min<int>(count, colour_samples); ++i) {
    page.ink_names.emplace_back(names);
    names += page.ink_names.back().size() + 1;
  }
}

// Why the pixels of `page` (width, height, samples, bits and photometric read) cannot be
// decoded here; empty when they can. May switch a YCbCr JPEG page to libtiff's RGB mode.
std::string CheckSupported(TIFF* tif, PageLayout& page) {
  if (!TIFFIsCODECConfigured(page.compression)) return "unsupported compression";
  if (page.decoded_rgba) return CheckRgbaSupported(tif, page);
  // Pixels are moved whole, never interpreted, so any sample size libtiff hands over whole
  // (bit-packed up to 16, or whole bytes) turns exactly, signed and floating point included.
  const uint16_t bits = page.bits_per_sample;
  if (bits == 0 || (bits > 16 && bits != 24 && bits != 32 && bits != 64)) {
    return "unsupported bit depth";
  }
  if (page.sample_format != SAMPLEFORMAT_UINT && page.sample_format != SAMPLEFORMAT_INT &&
      page.sample_format != SAMPLEFORMAT_IEEEFP) {
    return "unsupported sample format";
  }
  const uint16_t spp = page.samples_per_pixel;
  switch (page.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_SEPARATED:
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB:
      if (spp < 1) return "no samples";
      break;
    case PHOTOMETRIC_PALETTE: {
      uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
      if (spp != 1 || bits > 16 || TIFFGetField(tif, TIFFTAG_COLORMAP, &red, &green, &blue) != 1) {
        return "unsupported palette";
      }
      const size_t n = size_t{1} << bits;
      page.colormap.assign(red, red + n);
      page.colormap.insert(page.colormap.end(), green, green + n);
      page.colormap.insert(page.colormap.end(), blue, blue + n);
      break;
    }
    case PHOTOMETRIC_RGB:
      if (spp < 3) return "unsupported colour layout";
      break;
    case PHOTOMETRIC_LOGLUV:
    case PHOTOMETRIC_LOGL:
      // Only the SGI log codecs say what the samples are; the codec refuses separate planes.
      if (page.sgilog_format == 0) return "unsupported photometric interpretation";
      if (page.planes > 1) return "unsupported SGI log layout";
      break;
    case PHOTOMETRIC_YCBCR:
      if (page.compression != COMPRESSION_JPEG || spp != 3 || bits != 8 || page.planes > 1) {
        return "unsupported YCbCr image";
      }
      // libtiff then decodes to RGB and encodes RGB back into YCbCr JPEG.
      if (TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB) != 1) {
        return "unsupported YCbCr image";
      }
      page.ycbcr_as_rgb = true;
      break;
    default:
      return "unsupported photometric interpretation";
  }
  if (page.pixel_bits() > 64) return "unsupported pixel size";

  if (page.tiled) {
    if (TIFFGetField(tif, TIFFTAG_TILEWIDTH, &page.tile_width) != 1 ||
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &page.tile_length) != 1 || page.tile_width == 0 ||
        page.tile_length == 0 || page.tile_width % 8 != 0) {
      return "bad tiles";
    }
    const uint64_t tile_row = (uint64_t{page.tile_width} * page.pixel_bits() + 7) / 8;
    if (tile_row * page.tile_length > kMaxTileBytes ||
        static_cast<uint64_t>(TIFFTileRowSize64(tif)) != tile_row) {
      return "bad tiles";
    }
  } else if (static_cast<uint64_t>(TIFFScanlineSize64(tif)) != page.row_bytes) {
    return "bad row size";
  }
  return {};
}

}  // namespace

uint64_t DecodedSizeLimit() { return decoded_size_limit; }

void SetDecodedSizeLimit(uint64_t bytes) {
  decoded_size_limit = std::clamp<uint64_t>(bytes, 1, kMaxDecodedBytes);
}

uint64_t DecodedSizeLimitFor(uint64_t megabytes, uint64_t physical_bytes) {
  constexpr uint64_t kMegabyte = uint64_t{1} << 20;
  const uint64_t automatic = physical_bytes == 0 ? kMaxDecodedBytes : physical_bytes / 4;
  const uint64_t bytes = megabytes == 0                             ? automatic
                         : megabytes > kMaxDecodedBytes / kMegabyte ? kMaxDecodedBytes
                                                                    : megabytes * kMegabyte;
  return std::clamp(bytes, kMegabyte, kMaxDecodedBytes);
}

bool DecodesThroughRgba(uint16_t compression) { return compression == COMPRESSION_OJPEG; }

uint16_t RgbaDecodedSamples(uint16_t stored_photometric) {
  return stored_photometric == PHOTOMETRIC_MINISBLACK ||
                 stored_photometric == PHOTOMETRIC_MINISWHITE
             ? 1
             : 3;
}

PageLayout ReadPageLayout(TiffFile& file) {
  TIFF* tif = file.get();
  PageLayout page;
  uint16_t planar = PLANARCONFIG_CONTIG, unit = RESUNIT_INCH;
  if (TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page.width) != 1 ||
      TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page.height) != 1 || page.width == 0 ||
      page.height == 0) {
    Refuse("image has no pixels");
  }
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &page.compression);
  const bool has_photometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &page.photometric) == 1;
  if (has_photometric &&
      (page.compression == COMPRESSION_SGILOG || page.compression == COMPRESSION_SGILOG24) &&
      (page.photometric == PHOTOMETRIC_LOGLUV || page.photometric == PHOTOMETRIC_LOGL)) {
    UseSgiLogEncodedValues(tif, page);
  }
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &page.bits_per_sample);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &page.samples_per_pixel);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &page.sample_format);
  TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &page.ink_set);
  uint16_t* extra_kinds = nullptr;
  TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &page.extra_samples, &extra_kinds);
  if (page.extra_samples > 0 && extra_kinds != nullptr) page.first_extra_kind = extra_kinds[0];
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  page.x_dpi = Resolution(tif, TIFFTAG_XRESOLUTION, unit);
  page.y_dpi = Resolution(tif, TIFFTAG_YRESOLUTION, unit);
  page.tiled = TIFFIsTiled(tif) != 0;
  if (!page.tiled) {
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &page.rows_per_strip);
    if (page.rows_per_strip == 0) page.rows_per_strip = page.height;
  }
  if (page.photometric == PHOTOMETRIC_SEPARATED) ReadInkNames(tif, page);
  if (has_photometric && DecodesThroughRgba(page.compression)) {
    page.decoded_rgba = true;
    page.samples_per_pixel = RgbaDecodedSamples(page.photometric);
    page.photometric = page.samples_per_pixel == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
    page.bits_per_sample = 8;
    page.sample_format = SAMPLEFORMAT_UINT;
    page.extra_samples = page.first_extra_kind = 0;
    planar = PLANARCONFIG_CONTIG;
  }
  if (planar == PLANARCONFIG_SEPARATE && page.samples_per_pixel > 1) {
    page.planes = page.samples_per_pixel;
  }
  const uint64_t row_bytes = (uint64_t{page.width} * page.pixel_bits() + 7) / 8;
  if (row_bytes > kMaxDecodedBytes) {
    page.unsupported = "image too large";
  } else {
    page.row_bytes = static_cast<size_t>(row_bytes);
  }
  if (!has_photometric) page.unsupported = "no photometric interpretation";
  if (page.unsupported.empty()) page.unsupported = CheckSupported(tif, page);
  return page;
}

void RequireDecodable(const TiffFile& file, const PageLayout& layout) {
  if (!layout.unsupported.empty()) Refuse(layout.unsupported);
  if (!file.damage().empty()) {
    throw RuntimeError(kDeviceIoError, "Device I/O error (" + file.damage() + ")");
  }
}

void RequireDecodedSizeWithinLimit(const PageLayout& layout) {
  const uint64_t limit = DecodedSizeLimit();
  uint64_t needed = layout.decoded_bytes();
  if (layout.decoded_rgba) {
    // The RGBA reader's band of 4 bytes a pixel, and libtiff's own buffer for the strip
    // beneath it, of at most as much again.
    const uint32_t band_rows = layout.tiled ? layout.tile_length : layout.rows_per_strip;
    needed += uint64_t{layout.width} * std::min(band_rows, layout.height) * 4 * 2;
  }
  if (needed <= limit) return;
  constexpr uint64_t kMegabyte = uint64_t{1} << 20;
  throw RuntimeError(kOutOfMemory, "Out of memory (the decoded image needs " +
                                       std::to_string((needed + kMegabyte - 1) / kMegabyte) +
                                       " MB, more than the " + std::to_string(limit / kMegabyte) +
                                       " MB allowed)");
}

struct TiffRowReader::RgbaImage {
  TIFFRGBAImage image{};
  bool begun = false;
  ~RgbaImage() {
    if (begun) TIFFRGBAImageEnd(&image);
  }
};

TiffRowReader::TiffRowReader(TiffFile& file, const PageLayout& layout, uint32_t first_row,
                             uint16_t plane)
    : file_(file), layout_(layout), next_row_(first_row), plane_(plane) {
  RequireDecodable(file, layout);
  // Zero-filled, so that no byte a decoder skipped can carry earlier memory into a file.
  if (layout.decoded_rgba) {
    band_rows_ = std::min(layout.tiled ? layout.tile_length : layout.rows_per_strip, layout.height);
    rgba_ = std::make_unique<RgbaImage>();
    char why[1024] = "";
    if (TIFFRGBAImageBegin(&rgba_->image, file.get(), 1, why) != 1) {
      throw RuntimeError(kDeviceIoError, std::string("Device I/O error (") + why + ")");
    }
    rgba_->begun = true;
    // Rows in the order the file stores them, like every other page: the Orientation tag is
    // carried over as it is, never applied.
    rgba_->image.req_orientation = rgba_->image.orientation;
    raster_ = std::make_unique<uint32_t[]>(size_t{band_rows_} * layout.width);
  } else if (layout.tiled) {
    band_rows_ = std::min(layout.tile_length, layout.height);
    const size_t tile_bytes =
        size_t{layout.tile_length} * ((size_t{layout.tile_width} * layout.pixel_bits() + 7) / 8);
    tile_ = std::make_unique<uint8_t[]>(tile_bytes);
  } else {
    band_rows_ = std::min(layout.rows_per_strip, layout.height);
    whole_strips_ = uint64_t{band_rows_} * layout.row_bytes <= kWholeStripLimit;
    if (!whole_strips_) band_rows_ = 1;
    if (whole_strips_ && layout.compression == COMPRESSION_LZW) {
      TIFF* tif = file.get();
      uint16_t fill_order = FILLORDER_MSB2LSB;
      uint16_t predictor = PREDICTOR_NONE;
      TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fill_order);
      TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor);
      // Samples libtiff would swap or undifference otherwise than bytes are left to it.
      const bool plain = predictor == PREDICTOR_NONE &&
                         (layout.bits_per_sample <= 8 || TIFFIsByteSwapped(tif) == 0);
      const bool differenced = predictor == PREDICTOR_HORIZONTAL && layout.bits_per_sample == 8;
      lzw_strips_ = fill_order == FILLORDER_MSB2LSB && (plain || differenced);
      if (differenced) predictor_stride_ = layout.planes > 1 ? 1 : layout.samples_per_pixel;
    }
  }
  buffer_ = std::make_unique<uint8_t[]>(size_t{band_rows_} * layout.row_bytes);
}

TiffRowReader::~TiffRowReader() = default;

void TiffRowReader::Fail() const {
  const std::string& why = file_.damage().empty() ? file_.last_error() : file_.damage();
  throw RuntimeError(kDeviceIoError,
                     why.empty() ? "Device I/O error" : "Device I/O error (" + why + ")");
}

void TiffRowReader::LoadStrip(uint32_t strip) {
  const uint32_t first = strip * layout_.rows_per_strip;
  const uint32_t rows = std::min(band_rows_, layout_.height - first);
  const tmsize_t want = static_cast<tmsize_t>(size_t{rows} * layout_.row_bytes);
  const uint32_t index = plane_ * layout_.strips_per_plane() + strip;
  if (!lzw_strips_ || !DecodeLzwStripDirectly(index, rows)) {
    if (TIFFReadEncodedStrip(file_.get(), index, buffer_.get(), want) < want) Fail();
    if (!file_.damage().empty()) Fail();
  }
  band_first_ = first;
}

// False, having reported nothing, for any strip not taken: libtiff decodes that one.
bool TiffRowReader::DecodeLzwStripDirectly(uint32_t index, uint32_t rows) {
  TIFF* tif = file_.get();
  const size_t want = size_t{rows} * layout_.row_bytes;
  int failed = 0;
  const uint64_t offset = TIFFGetStrileOffsetWithErr(tif, index, &failed);
  if (failed != 0) return false;
  const uint64_t size = TIFFGetStrileByteCountWithErr(tif, index, &failed);
  // Codes of at most 12 bits stand for at least a byte each: a larger strip is damaged, and a
  // hostile count must not size the buffer.
  if (failed != 0 || size == 0 || size > want + want / 2 + 4096) return false;
  raw_.resize(size);
  try {
    if (file_.file().ReadAt(offset, raw_) != size) return false;
  } catch (const RuntimeError&) {
    return false;
  }
  if (!DecodeLzwStrip(raw_, {buffer_.get(), want})) return false;
  if (predictor_stride_ != 0) {
    UndoHorizontalDifferencing(buffer_.get(), rows, layout_.row_bytes, predictor_stride_);
  }
  return true;
}

void TiffRowReader::LoadTileBand(uint32_t band) {
  TIFF* tif = file_.get();
  const uint32_t first = band * layout_.tile_length;
  const uint32_t rows = std::min(band_rows_, layout_.height - first);
  const size_t tile_row = (size_t{layout_.tile_width} * layout_.pixel_bits() + 7) / 8;
  const tmsize_t tile_bytes = static_cast<tmsize_t>(tile_row * layout_.tile_length);
  for (uint32_t x = 0; x < layout_.width; x += layout_.tile_width) {
    const uint32_t tile = TIFFComputeTile(tif, x, first, 0, plane_);
    if (TIFFReadEncodedTile(tif, tile, tile_.get(), tile_bytes) < tile_bytes) Fail();
    if (!file_.damage().empty()) Fail();
    // Tile widths are multiples of 16 pixels, so every tile starts on a byte.
    const size_t offset = size_t{x} * layout_.pixel_bits() / 8;
    const size_t n = std::min(tile_row, layout_.row_bytes - offset);
    for (uint32_t r = 0; r < rows; ++r) {
      memcpy(buffer_.get() + r * layout_.row_bytes + offset, tile_.get() + r * tile_row, n);
    }
  }
  band_first_ = first;
}

void TiffRowReader::LoadRgbaBand(uint32_t band) {
  const uint32_t first = band * band_rows_;
  const uint32_t rows = std::min(band_rows_, layout_.height - first);
  TIFFRGBAImage& image = rgba_->image;
  image.row_offset = static_cast<int>(first);
  image.col_offset = 0;
  if (TIFFRGBAImageGet(&image, raster_.get(), layout_.width, rows) != 1) Fail();
  if (!file_.damage().empty()) Fail();
  const bool gray = layout_.samples_per_pixel == 1;
  for (uint32_t r = 0; r < rows; ++r) {
    const uint32_t* in = raster_.get() + size_t{r} * layout_.width;
    uint8_t* out = buffer_.get() + size_t{r} * layout_.row_bytes;
    for (uint32_t x = 0; x < layout_.width; ++x) {
      if (gray) {
        out[x] = static_cast<uint8_t>(TIFFGetR(in[x]));
      } else {
        out[3 * x] = static_cast<uint8_t>(TIFFGetR(in[x]));
        out[3 * x + 1] = static_cast<uint8_t>(TIFFGetG(in[x]));
        out[3 * x + 2] = static_cast<uint8_t>(TIFFGetB(in[x]));
      }
    }
  }
  band_first_ = first;
}

const uint8_t* TiffRowReader::NextRow() {
  if (next_row_ >= layout_.height) Fail();
  const uint32_t y = next_row_++;
  if (layout_.decoded_rgba) {
    if (!band_loaded_ || y < band_first_ || y >= band_first_ + band_rows_) {
      LoadRgbaBand(y / band_rows_);
      band_loaded_ = true;
    }
    return buffer_.get() + size_t{y - band_first_} * layout_.row_bytes;
  }
  if (!layout_.tiled && !whole_strips_) {
    if (TIFFReadScanline(file_.get(), buffer_.get(), y, plane_) != 1) Fail();
    if (!file_.damage().empty()) Fail();
    return buffer_.get();
  }
  if (!band_loaded_ || y >= band_first_ + band_rows_) {
    if (layout_.tiled) {
      LoadTileBand(y / layout_.tile_length);
    } else {
      LoadStrip(y / layout_.rows_per_strip);
    }
    band_loaded_ = true;
  }
  return buffer_.get() + size_t{y - band_first_} * layout_.row_bytes;
}

}  // namespace plotspool
