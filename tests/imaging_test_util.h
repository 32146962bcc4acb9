// Helpers for the imaging tests: an independent libtiff decode of a page,
// reference turns, and hand-built TIFF files for hostile cases.
#ifndef PLOTSPOOL_TESTS_IMAGING_TEST_UTIL_H_
#define PLOTSPOOL_TESTS_IMAGING_TEST_UTIL_H_

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "test_support.h"

namespace plotspool::testing {

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// One page as libtiff itself decodes it, packed rows in file layout.
struct DecodedPage {
  uint32_t width = 0, height = 0;
  uint16_t bits = 0, samples = 0, photometric = 0, compression = 0, unit = 0;
  float x_res = 0, y_res = 0;
  bool tiled = false, big_endian = false;
  uint16_t planes = 1;   // separately stored sample planes, one after the other in `pixels`
  size_t row_bytes = 0;  // of one plane
  std::vector<uint8_t> pixels;
  int pages = 0;  // directories in the file

  // The bits of pixel (x, y) of `plane` in row order, most significant first: any pixel size
  // up to 64.
  uint64_t Bits(uint32_t x, uint32_t y, uint16_t plane = 0) const {
    const uint32_t pixel_bits = planes > 1 ? bits : uint32_t{bits} * samples;
    const uint8_t* row = pixels.data() + (size_t{plane} * height + y) * row_bytes;
    uint64_t value = 0;
    for (size_t bit = size_t{x} * pixel_bits, end = bit + pixel_bits; bit < end; ++bit) {
      value = value << 1 | ((row[bit / 8] >> (7 - bit % 8)) & 1);
    }
    return value;
  }

  uint32_t Pixel(uint32_t x, uint32_t y) const {  // value of pixel (x, y), up to 32 bits
    const uint32_t pixel_bits = uint32_t{bits} * samples;
    const uint8_t* row = pixels.data() + size_t{y} * row_bytes;
    if (pixel_bits < 8) {
      const size_t bit = size_t{x} * pixel_bits;
      return (row[bit / 8] >> (8 - pixel_bits - bit % 8)) & ((1u << pixel_bits) - 1);
    }
    uint32_t value = 0;
    for (uint32_t i = 0; i < pixel_bits / 8; ++i) value = value << 8 | row[x * pixel_bits / 8 + i];
    return value;
  }
};

inline bool DecodePage(const std::string& path, int page, DecodedPage* out) {
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return false;
  out->pages = TIFFNumberOfDirectories(tif);
  if (!TIFFSetDirectory(tif, static_cast<tdir_t>(page))) {
    TIFFClose(tif);
    return false;
  }
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &out->width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &out->height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &out->bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &out->samples);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &out->photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &out->compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &out->unit);
  TIFFGetField(tif, TIFFTAG_XRESOLUTION, &out->x_res);
  TIFFGetField(tif, TIFFTAG_YRESOLUTION, &out->y_res);
  out->tiled = TIFFIsTiled(tif);
  out->big_endian = TIFFIsBigEndian(tif);
  if (out->photometric == PHOTOMETRIC_YCBCR) {
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  }
  uint16_t planar = PLANARCONFIG_CONTIG;
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  out->planes = planar == PLANARCONFIG_SEPARATE ? out->samples : 1;
  const uint32_t pixel_bits = out->planes > 1 ? out->bits : uint32_t{out->bits} * out->samples;
  out->row_bytes = (size_t{out->width} * pixel_bits + 7) / 8;
  out->pixels.assign(out->row_bytes * out->height * out->planes, 0);
  bool ok = true;
  if (out->tiled) {
    uint32_t tw = 0, tl = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tl);
    const size_t tile_row = (size_t{tw} * pixel_bits + 7) / 8;
    std::vector<uint8_t> tile(static_cast<size_t>(TIFFTileSize(tif)));
    for (uint16_t plane = 0; plane < out->planes; ++plane) {
      uint8_t* base = out->pixels.data() + size_t{plane} * out->height * out->row_bytes;
      for (uint32_t y = 0; y < out->height && ok; y += tl) {
        for (uint32_t x = 0; x < out->width && ok; x += tw) {
          ok = TIFFReadTile(tif, tile.data(), x, y, 0, plane) >= 0;
          const size_t offset = size_t{x} * pixel_bits / 8;
          for (uint32_t r = 0; r < tl && y + r < out->height; ++r) {
            std::copy_n(tile.data() + r * tile_row, std::min(tile_row, out->row_bytes - offset),
                        base + (y + r) * out->row_bytes + offset);
          }
        }
      }
    }
  } else {
    for (uint16_t plane = 0; plane < out->planes; ++plane) {
      uint8_t* base = out->pixels.data() + size_t{plane} * out->height * out->row_bytes;
      for (uint32_t y = 0; y < out->height && ok; ++y) {
        ok = TIFFReadScanline(tif, base + y * out->row_bytes, y, plane) == 1;
      }
    }
  }
  TIFFClose(tif);
  return ok;
}

// A page layout libtiff writes, for layouts the sample plots do not cover.
struct LayoutSpec {
  const char* name;
  uint16_t bits = 8;
  uint16_t samples = 1;
  uint16_t photometric = PHOTOMETRIC_MINISBLACK;
  uint16_t planar = PLANARCONFIG_CONTIG;
  uint16_t sample_format = SAMPLEFORMAT_UINT;
  uint16_t extra = 0;  // trailing extra samples (unassociated alpha for the first)
  uint16_t compression = COMPRESSION_LZW;
  // Separated pages: the InkNames, each ending in a NUL ("Cyan\0Black\0"); InkSet is then
  // "not CMYK".
  std::string_view inks{};
};

// Writes the ink tags of `spec`, if any (after the samples and extra samples are set).
inline void WriteInkTags(TIFF* tif, const LayoutSpec& spec) {
  if (spec.inks.empty()) return;
  TIFFSetField(tif, TIFFTAG_INKSET, INKSET_MULTIINK);
  TIFFSetField(tif, TIFFTAG_INKNAMES, static_cast<int>(spec.inks.size()), spec.inks.data());
}

// Writes one `width` x `height` page of `spec` at 100 dpi with deterministic noise as pixels,
// in strips of 16 rows.
inline void WriteLayoutTiff(const std::string& path, const LayoutSpec& spec, uint32_t width,
                            uint32_t height) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (tif == nullptr) throw std::runtime_error("cannot write " + path);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, spec.bits);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spec.samples);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, spec.photometric);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, spec.planar);
  TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, spec.sample_format);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, spec.compression);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, 100.0);
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, 100.0);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  if (spec.extra > 0) {
    std::vector<uint16_t> kinds(spec.extra, EXTRASAMPLE_UNSPECIFIED);
    kinds[0] = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, spec.extra, kinds.data());
  }
  WriteInkTags(tif, spec);
  if (spec.photometric == PHOTOMETRIC_PALETTE) {
    std::vector<uint16_t> map(3 << spec.bits);
    for (size_t i = 0; i < map.size(); ++i) map[i] = static_cast<uint16_t>(i * 7919);
    const size_t n = size_t{1} << spec.bits;
    TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data() + n, map.data() + 2 * n);
  }
  const bool separate = spec.planar == PLANARCONFIG_SEPARATE;
  const uint16_t planes = separate ? spec.samples : 1;
  std::mt19937 noise(width * 31 + height);
  std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize64(tif)));
  for (uint16_t plane = 0; plane < planes; ++plane) {
    for (uint32_t y = 0; y < height; ++y) {
      for (uint8_t& byte : row) byte = static_cast<uint8_t>(noise() >> 7);
      TIFFWriteScanline(tif, row.data(), y, plane);
    }
  }
  TIFFClose(tif);
}

// Byte offset of the first-IFD entry for `tag` in a classic little-endian TIFF; 0 when absent.
inline size_t FindIfdEntry(const std::vector<uint8_t>& file, uint16_t tag) {
  const auto get16 = [&](size_t at) { return static_cast<uint16_t>(file[at] | file[at + 1] << 8); };
  const size_t ifd = file[4] | file[5] << 8 | file[6] << 16 | size_t{file[7]} << 24;
  for (size_t i = 0, n = get16(ifd); i < n; ++i) {
    const size_t entry = ifd + 2 + 12 * i;
    if (get16(entry) == tag) return entry;
  }
  return 0;
}

// Where strip `strip` of the first page lies, as libtiff reads it.
inline std::pair<uint64_t, uint64_t> StripExtent(const std::string& path, uint32_t strip) {
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  const std::pair<uint64_t, uint64_t> extent{TIFFGetStrileOffset(tif, strip),
                                             TIFFGetStrileByteCount(tif, strip)};
  TIFFClose(tif);
  return extent;
}

// A little-endian TIFF built by hand, one IFD, for headers libtiff would refuse to write.
class RawTiffBuilder {
 public:
  // Adds the entry, replacing one with the same tag.
  void Add(uint16_t tag, uint16_t type, uint32_t value) {
    std::erase_if(entries_, [tag](const Entry& e) { return e.tag == tag; });
    entries_.push_back({tag, type, 1, value});
  }
  void AddRational(uint16_t tag, uint32_t numerator, uint32_t denominator) {
    rationals_.push_back({tag, numerator, denominator});
  }
  void SetPixelData(std::vector<uint8_t> data) { data_ = std::move(data); }
  // `next_ifd_self`: the IFD names itself as the next one (an IFD loop).
  std::vector<uint8_t> Build(bool next_ifd_self = false) const {
    // Header, then the pixel data, copied by index (GCC 12 misreads vector::insert here).
    std::vector<uint8_t> out(8 + data_.size(), 0);
    out[0] = out[1] = 'I';
    out[2] = 42;
    const uint32_t data_at = 8;
    for (size_t i = 0; i < data_.size(); ++i) out[8 + i] = data_[i];
    std::vector<Entry> entries = entries_;
    for (const Rational& r : rationals_) {
      const uint32_t at = static_cast<uint32_t>(out.size());
      Put32(out, r.numerator);
      Put32(out, r.denominator);
      entries.push_back({r.tag, 5, 1, at});
    }
    std::sort(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.tag < b.tag; });
    if (out.size() % 2) out.push_back(0);
    const uint32_t ifd = static_cast<uint32_t>(out.size());
    out[4] = ifd & 0xFF;
    out[5] = (ifd >> 8) & 0xFF;
    out[6] = (ifd >> 16) & 0xFF;
    out[7] = ifd >> 24;
    Put16(out, static_cast<uint16_t>(entries.size()));
    for (const Entry& e : entries) {
      Put16(out, e.tag);
      Put16(out, e.type);
      Put32(out, e.count);
      if (e.type == 3) {
        Put16(out, static_cast<uint16_t>(e.value));
        Put16(out, 0);
      } else {
        Put32(out, e.tag == 273 && e.value == kDataOffset ? data_at : e.value);
      }
    }
    Put32(out, next_ifd_self ? ifd : 0);
    return out;
  }
  static constexpr uint32_t kDataOffset = 0xFFFFFFFEu;  // stands for "where SetPixelData went"

 private:
  struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
  };
  struct Rational {
    uint16_t tag;
    uint32_t numerator, denominator;
  };
  static void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(v & 0xFF);
    out.push_back(v >> 8);
  }
  static void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
  }
  std::vector<Entry> entries_;
  std::vector<Rational> rationals_;
  std::vector<uint8_t> data_;
};

}  // namespace plotspool::testing

#endif  // PLOTSPOOL_TESTS_IMAGING_TEST_UTIL_H_
