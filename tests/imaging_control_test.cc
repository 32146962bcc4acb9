#include "imaging/imaging_control.h"

#include <gtest/gtest.h>
// libjpeg's header needs FILE declared first.
#include <jpeglib.h>
#include <cstdio>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "base/error.h"
#include "imaging/banded_turn.h"
#include "imaging/picture_box.h"
#include "imaging/tiff_page.h"
#include "imaging_test_util.h"
#include "sample_plot.h"

#include "test_support.h"

namespace plotspool {
namespace {

using namespace std::string_view_literals;

using testing::DecodedPage;
using testing::DecodePage;
using testing::ReadBytes;
using testing::TempDir;

using testing::ErrorNumberOf;

// A small drawn sheet with its top-left pixel marked in ink (black or the palette's first ink).
SampleImage MarkedPlot(uint32_t width, uint32_t height, SampleKind kind) {
  SampleImage image = DrawSamplePlot(width, height, 60, kind);
  switch (kind) {
    case SampleKind::kBilevel:
      image.Row(0)[0] = 0x80;
      break;  // only pixel (0, 0) in the byte
    case SampleKind::kGray:
      image.Row(0)[0] = 0;
      break;
    case SampleKind::kRgb:
      image.Row(0)[0] = 10;
      image.Row(0)[1] = 20;
      image.Row(0)[2] = 30;
      break;
    case SampleKind::kPalette:
      image.Row(0)[0] = 1;
      break;
  }
  return image;
}

struct Variant {
  const char* name;
  SampleKind kind;
  uint16_t compression;
  bool predictor = false;
  uint32_t rows = 64;
  uint32_t tile = 0;
  bool big_endian = false;
};

const Variant kVariants[] = {
    {"bilevel_g4", SampleKind::kBilevel, COMPRESSION_CCITTFAX4},
    {"bilevel_g4_one_strip_motorola", SampleKind::kBilevel, COMPRESSION_CCITTFAX4, false, 0, 0,
     true},
    {"bilevel_g3", SampleKind::kBilevel, COMPRESSION_CCITTFAX3},
    {"bilevel_packbits", SampleKind::kBilevel, COMPRESSION_PACKBITS},
    {"bilevel_none_tiled", SampleKind::kBilevel, COMPRESSION_NONE, false, 0, 64},
    {"gray_lzw", SampleKind::kGray, COMPRESSION_LZW, false, 16},
    {"gray_deflate_motorola", SampleKind::kGray, COMPRESSION_ADOBE_DEFLATE, true, 7, 0, true},
    {"rgb_lzw_predictor", SampleKind::kRgb, COMPRESSION_LZW, true},
    {"rgb_none_tiled_motorola", SampleKind::kRgb, COMPRESSION_NONE, false, 0, 32, true},
    {"rgb_deflate", SampleKind::kRgb, COMPRESSION_ADOBE_DEFLATE, true, 5},
    {"palette_lzw", SampleKind::kPalette, COMPRESSION_LZW},
};

// A loaded file stays open, closed to writers where the system allows it, until the next Load:
// a test that loads several files writes each under a name of its own.
class ImagingControlTest : public ::testing::Test {
 protected:
  std::string WritePlot(const std::string& name, const SampleImage& image,
                        SampleTiffOptions options = {}) {
    const std::string path = dir_ / name;
    WriteSampleTiff(path, {image}, options);
    return path;
  }
  TempDir dir_;
  ImagingControl control_;
};

TEST_F(ImagingControlTest, MeasuresSizeAndResolutionInEveryUnit) {
  SampleTiffOptions options;
  options.dpi = 300;
  const SampleImage sheet = BlankImage(2480, 3508, SampleKind::kBilevel);
  control_.Load(WritePlot("inch.tif", sheet, options));
  EXPECT_EQ(control_.ImageWidth(), 2480);
  EXPECT_EQ(control_.ImageHeight(), 3508);
  EXPECT_DOUBLE_EQ(control_.HorizontalResolution(), 300);
  EXPECT_DOUBLE_EQ(control_.VerticalResolution(), 300);
  EXPECT_EQ(control_.Status(), 0);

  options.unit = SampleResolution::kCentimetre;
  control_.Load(WritePlot("cm.tif", sheet, options));
  EXPECT_NEAR(control_.HorizontalResolution(), 300, 1e-3);
  EXPECT_NEAR(control_.VerticalResolution(), 300, 1e-3);

  options.unit = SampleResolution::kMissing;
  control_.Load(WritePlot("none.tif", sheet, options));
  EXPECT_EQ(control_.HorizontalResolution(), 0);
  EXPECT_EQ(control_.VerticalResolution(), 0);
  EXPECT_EQ(control_.ImageWidth(), 2480);
}

TEST_F(ImagingControlTest, TurnReportsSwappedSizeAndResolutionAndKeepsMetadata) {
  // Different X and Y resolutions, so a swap is visible.
  const std::string path = dir_ / "plan.tif";
  const std::string xmp = "<x:xmpmeta xmlns:x='adobe:ns:meta/'/>";
  const std::string photoshop = std::string("8BIM\x04\x04\0\0\0\0\0\0", 12);
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  TIFFSetField(tif, TIFFTAG_XMLPACKET, static_cast<uint32_t>(xmp.size()), xmp.data());
  TIFFSetField(tif, TIFFTAG_PHOTOSHOP, static_cast<uint32_t>(photoshop.size()), photoshop.data());
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 40);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 24);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, 200.0);
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, 100.0);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  std::vector<uint8_t> row(40, 200);
  for (uint32_t y = 0; y < 24; ++y) TIFFWriteScanline(tif, row.data(), y, 0);
  TIFFClose(tif);

  control_.Load(path);
  control_.RotateRight();
  EXPECT_EQ(control_.ImageWidth(), 24);
  EXPECT_EQ(control_.ImageHeight(), 40);
  EXPECT_DOUBLE_EQ(control_.HorizontalResolution(), 100);
  EXPECT_DOUBLE_EQ(control_.VerticalResolution(), 200);
  control_.Save();
  EXPECT_EQ(control_.ImageWidth(), 24);
  EXPECT_DOUBLE_EQ(control_.HorizontalResolution(), 100);
  DecodedPage page;
  ASSERT_TRUE(DecodePage(path, 0, &page));
  EXPECT_EQ(page.width, 24u);
  EXPECT_FLOAT_EQ(page.x_res, 100);
  EXPECT_FLOAT_EQ(page.y_res, 200);
  tif = TIFFOpen(path.c_str(), "r");
  for (const auto& [tag, expected] :
       {std::pair{TIFFTAG_XMLPACKET, xmp}, std::pair{TIFFTAG_PHOTOSHOP, photoshop}}) {
    uint32_t size = 0;
    const char* data = nullptr;
    ASSERT_EQ(TIFFGetField(tif, tag, &size, &data), 1) << tag;
    EXPECT_EQ(std::string(data, size), expected);
  }
  TIFFClose(tif);
}

// Each layout plot rooms send: loaded, turned once, saved; the saved file is checked with
// libtiff's own decoder against the source turned pixel by pixel, and keeps its encoding.
TEST_F(ImagingControlTest, TurnAndSaveKeepsEncodingAndMovesEveryPixel) {
  for (const Variant& v : kVariants) {
    SCOPED_TRACE(v.name);
    SampleTiffOptions options;
    options.compression = v.compression;
    options.predictor = v.predictor;
    options.rows_per_strip = v.rows;
    options.tile = v.tile;
    options.big_endian = v.big_endian;
    options.dpi = 60;
    const std::string path =
        WritePlot(std::string(v.name) + ".tif", MarkedPlot(203, 130, v.kind), options);
    DecodedPage before;
    ASSERT_TRUE(DecodePage(path, 0, &before));

    control_.Load(path);
    control_.Display();
    control_.RotateRight();
    control_.Save();
    EXPECT_EQ(control_.Status(), 0);

    DecodedPage after;
    ASSERT_TRUE(DecodePage(path, 0, &after));
    EXPECT_EQ(after.width, before.height);
    EXPECT_EQ(after.height, before.width);
    EXPECT_EQ(after.compression, before.compression);
    EXPECT_EQ(after.bits, before.bits);
    EXPECT_EQ(after.samples, before.samples);
    EXPECT_EQ(after.photometric, before.photometric);
    EXPECT_EQ(after.big_endian, before.big_endian);
    EXPECT_EQ(after.tiled, before.tiled);
    EXPECT_EQ(after.unit, before.unit);
    // The marked top-left corner lands top right.
    EXPECT_EQ(after.Pixel(after.width - 1, 0), before.Pixel(0, 0));
    EXPECT_NE(after.Pixel(0, 0), before.Pixel(0, 0));
    for (uint32_t y = 0; y < before.height; ++y) {
      for (uint32_t x = 0; x < before.width; ++x) {
        ASSERT_EQ(after.Pixel(before.height - 1 - y, x), before.Pixel(x, y)) << x << "," << y;
      }
    }
  }
}

// Plots above a few MB are encoded by two threads, strip by strip, and written in order; the
// file must read back pixel-exact with its predictor and strip layout.
TEST_F(ImagingControlTest, LargeLzwPlotsEncodedInParallelReadBackPixelExact) {
  for (const bool rgb : {false, true}) {
    SCOPED_TRACE(rgb ? "rgb with predictor" : "gray");
    SampleTiffOptions options;
    options.compression = COMPRESSION_LZW;
    options.predictor = rgb;
    options.rows_per_strip = 61;
    const uint32_t width = rgb ? 1453 : 2411, height = rgb ? 1031 : 1777;
    const std::string path =
        WritePlot(rgb ? "rgb.tif" : "gray.tif",
                  MarkedPlot(width, height, rgb ? SampleKind::kRgb : SampleKind::kGray), options);
    DecodedPage before;
    ASSERT_TRUE(DecodePage(path, 0, &before));
    control_.Load(path);
    control_.RotateRight();
    control_.Save();

    DecodedPage after;
    ASSERT_TRUE(DecodePage(path, 0, &after));
    ASSERT_EQ(after.width, before.height);
    ASSERT_EQ(after.height, before.width);
    EXPECT_EQ(after.compression, COMPRESSION_LZW);
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint16_t predictor = 0;
    uint32_t rows_per_strip = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    const uint32_t strips = TIFFNumberOfStrips(tif);
    TIFFClose(tif);
    EXPECT_EQ(predictor, rgb ? PREDICTOR_HORIZONTAL : PREDICTOR_NONE);
    // Strips of about the source's strip size: many of them, so both threads take part.
    EXPECT_EQ(rows_per_strip, 61 * before.row_bytes / after.row_bytes);
    EXPECT_GT(strips, 10u);
    for (uint32_t y = 0; y < before.height; ++y) {
      for (uint32_t x = 0; x < before.width; ++x) {
        ASSERT_EQ(after.Pixel(before.height - 1 - y, x), before.Pixel(x, y)) << x << "," << y;
      }
    }
  }
}

// Pages larger than a band are turned band by band; forced here with bands of one output strip
// (spilled to the scratch file row by row) and of a third of the page. Saved and exported, they
// must give exactly the bytes the whole-image turn gives, for every layout and turn count. The
// layouts' noise is kept raw, the drawings run-coded, and a drawing with a noisy corner mixes
// both kinds of piece in one band.
std::vector<uint8_t> JpegStream(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height);
std::vector<uint8_t> OldStyleJpegTiff(const std::vector<uint8_t>& jpeg, uint32_t width,
                                      uint32_t height);

TEST_F(ImagingControlTest, BandedTurnWritesWhatTheWholeImageTurnWrites) {
  using testing::LayoutSpec;
  struct Case {
    const char* name;
    std::function<void(const std::string&)> write;
  };
  const auto layout = [](LayoutSpec spec, uint32_t width, uint32_t height) {
    return [=](const std::string& path) { testing::WriteLayoutTiff(path, spec, width, height); };
  };
  const auto sample = [](SampleKind kind, uint16_t compression, uint32_t rows, uint32_t tile,
                         int pages) {
    return [=](const std::string& path) {
      SampleTiffOptions options;
      options.compression = compression;
      options.rows_per_strip = rows;
      options.tile = tile;
      std::vector<SampleImage> images{MarkedPlot(211, 137, kind)};
      for (int page = 1; page < pages; ++page) images.push_back(MarkedPlot(40, 30, kind));
      WriteSampleTiff(path, images, options);
    };
  };
  const Case cases[] = {
      {"bilevel", layout({"1", 1, 1, PHOTOMETRIC_MINISWHITE}, 203, 131)},
      {"bits2", layout({"2", 2}, 199, 67)},
      {"palette4", layout({"p4", 4, 1, PHOTOMETRIC_PALETTE}, 101, 75)},
      {"bits12", layout({"12", 12}, 97, 53)},
      {"gray16", layout({"16", 16}, 77, 61)},
      {"rgb24_none", layout({"rgb", 8, 3, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG, SAMPLEFORMAT_UINT,
                             0, COMPRESSION_NONE},
                            83, 59)},
      {"float32",
       layout({"f", 32, 1, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG, SAMPLEFORMAT_IEEEFP}, 61,
              45)},
      {"double64",
       layout({"d", 64, 1, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG, SAMPLEFORMAT_IEEEFP}, 41,
              37)},
      {"rgba16_64bit_pixels",
       layout({"rgba", 16, 4, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG, SAMPLEFORMAT_UINT, 1}, 43, 35)},
      {"planar_rgb", layout({"pl", 8, 3, PHOTOMETRIC_RGB, PLANARCONFIG_SEPARATE}, 71, 49)},
      {"planar_cmyk16",
       layout({"pc", 16, 4, PHOTOMETRIC_SEPARATED, PLANARCONFIG_SEPARATE}, 45, 33)},
      {"bilevel_g4_tiled", sample(SampleKind::kBilevel, COMPRESSION_CCITTFAX4, 0, 32, 1)},
      {"rgb_lzw_tiled", sample(SampleKind::kRgb, COMPRESSION_LZW, 0, 16, 1)},
      {"rgb_jpeg", sample(SampleKind::kRgb, COMPRESSION_JPEG, 16, 0, 1)},
      {"gray_lzw_three_pages", sample(SampleKind::kGray, COMPRESSION_LZW, 7, 0, 3)},
      {"rgb_noisy_corner",
       [](const std::string& path) {
         SampleImage image = MarkedPlot(211, 137, SampleKind::kRgb);
         std::mt19937 noise(7);
         for (uint32_t y = 0; y < image.height / 2; ++y) {
           uint8_t* row = image.Row(y);
           for (size_t i = 0; i < image.RowBytes() / 2; ++i)
             row[i] = static_cast<uint8_t>(noise() >> 11);
         }
         SampleTiffOptions options;
         options.compression = COMPRESSION_NONE;
         WriteSampleTiff(path, {image}, options);
       }},
      {"bilevel_g4_two_pages", sample(SampleKind::kBilevel, COMPRESSION_CCITTFAX4, 5, 0, 2)},
      {"logluv", layout({"lu", 16, 3, PHOTOMETRIC_LOGLUV, PLANARCONFIG_CONTIG, SAMPLEFORMAT_INT, 0,
                         COMPRESSION_SGILOG},
                        57, 41)},
      {"old_style_jpeg",
       [](const std::string& path) {
         std::vector<uint8_t> rgb;
         for (uint32_t i = 0; i < 64 * 48; ++i) {
           rgb.insert(rgb.end(), {static_cast<uint8_t>(i * 7), static_cast<uint8_t>(i / 64 * 5),
                                  static_cast<uint8_t>(i % 64 * 4)});
         }
         testing::WriteBytes(path, OldStyleJpegTiff(JpegStream(rgb, 64, 48), 64, 48));
       }},
  };
  struct Outcome {
    std::vector<uint8_t> tiff;
    // Bitmaps or print pictures of the turned image before and after the save.
    std::vector<uint8_t> exported[2];
    int32_t export_error[2] = {};
  };
  const struct Restore {
    uint64_t bytes = TurnBandBytes();
    ~Restore() { SetTurnBandBytes(bytes); }
  } restore;
  int runs = 0;
  const auto run = [&](const std::string& source, int turns, uint64_t band_bytes) {
    SetTurnBandBytes(band_bytes);
    const std::string path = dir_ / ("job" + std::to_string(++runs) + ".tif");
    std::filesystem::copy_file(source, path);
    Outcome outcome;
    control_.Load(path);
    for (int i = 0; i < turns; ++i) control_.RotateRight();
    for (const bool saved : {false, true}) {
      if (saved) {
        control_.Save();
        outcome.tiff = ReadBytes(path);
      }
      outcome.export_error[saved] =
          ErrorNumberOf([&] { control_.SaveAs(dir_ / "job.bmp", ImageFileType::kBitmap); });
      if (outcome.export_error[saved] == 0) outcome.exported[saved] = ReadBytes(dir_ / "job.bmp");
      std::filesystem::remove(dir_ / "job.bmp");
    }
    return outcome;
  };
  for (const Case& c : cases) {
    const std::string source = dir_ / (std::string(c.name) + ".tif");
    c.write(source);
    // About a third of the first page's decoded rows, and whether the page is lossy.
    TIFF* tif = TIFFOpen(source.c_str(), "r");
    ASSERT_NE(tif, nullptr) << c.name;
    uint32_t height = 0;
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    const uint64_t third = static_cast<uint64_t>(TIFFScanlineSize64(tif)) * height / 3;
    TIFFClose(tif);
    for (int turns = 1; turns <= 3; ++turns) {
      const Outcome whole = run(source, turns, uint64_t{1} << 40);
      for (const uint64_t band_bytes : {uint64_t{1}, third}) {
        SCOPED_TRACE(std::string(c.name) + " turns " + std::to_string(turns) + " band " +
                     std::to_string(band_bytes));
        const Outcome banded = run(source, turns, band_bytes);
        EXPECT_TRUE(banded.tiff == whole.tiff);
        // A lossy page exported after a band-wise save shows the file as saved, encoded again.
        for (const int saved : {0, compression == COMPRESSION_JPEG ? 0 : 1}) {
          EXPECT_EQ(banded.export_error[saved], whole.export_error[saved]) << saved;
          EXPECT_TRUE(banded.exported[saved] == whole.exported[saved]) << saved;
        }
      }
    }
  }
}

// A corrupt strip in either half of a large plot (decoded by two threads) fails the save with
// a clear error and leaves the file as it was.
TEST_F(ImagingControlTest, CorruptStripInEitherHalfFailsTheSaveAndKeepsTheFile) {
  SampleTiffOptions options;
  options.compression = COMPRESSION_LZW;
  options.rows_per_strip = 61;
  for (const bool second_half : {false, true}) {
    const std::string path = WritePlot(second_half ? "corrupt-late.tif" : "corrupt-early.tif",
                                       MarkedPlot(2411, 1777, SampleKind::kGray), options);
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(tif, nullptr);
    const uint32_t strip = second_half ? TIFFNumberOfStrips(tif) - 2 : 1;
    const uint64_t offset = TIFFGetStrileOffset(tif, strip);
    const uint64_t bytes = TIFFGetStrileByteCount(tif, strip);
    TIFFClose(tif);
    std::vector<uint8_t> file = ReadBytes(path);
    std::fill_n(file.begin() + static_cast<std::ptrdiff_t>(offset), bytes, 0xFF);
    testing::WriteBytes(path, file);

    control_.Load(path);
    control_.RotateRight();
    EXPECT_EQ(ErrorNumberOf([&] { control_.Save(); }), kDeviceIoError) << second_half;
    EXPECT_EQ(ReadBytes(path), file);
  }
}

// Damage libtiff works around or reports only in passing (a decoder error after which the read
// still returns a full strip, a libjpeg warning, a repaired directory) fails the turn and the
// print export with libtiff's reason, and the job file stays as it was.
TEST_F(ImagingControlTest, DamagedDataFailsEveryDecodeWithLibtiffsReason) {
  using Bytes = std::vector<uint8_t>;
  const auto flip_mid_strip = [](const std::string& path, Bytes& file) {
    const auto [offset, bytes] = testing::StripExtent(path, 1);
    for (uint64_t i = bytes / 3; i < bytes / 3 + 12; ++i) file[offset + i] ^= 0x5A;
  };
  const auto set_type = [](uint16_t tag, uint16_t type) {
    return [=](const std::string&, Bytes& file) {
      const size_t entry = testing::FindIfdEntry(file, tag);
      file[entry + 2] = static_cast<uint8_t>(type);
    };
  };
  const struct {
    const char* name;
    SampleKind kind;
    uint16_t compression;
    std::function<void(const std::string&, Bytes&)> damage;
    const char* reason;  // part of libtiff's report
  } cases[] = {
      {"g4_bad_code", SampleKind::kBilevel, COMPRESSION_CCITTFAX4, flip_mid_strip, "Fax"},
      {"g3_bad_code", SampleKind::kBilevel, COMPRESSION_CCITTFAX3, flip_mid_strip, "Fax"},
      {"jpeg_corrupt", SampleKind::kRgb, COMPRESSION_JPEG, flip_mid_strip, "JPEG"},
      {"lzw_corrupt", SampleKind::kGray, COMPRESSION_LZW, flip_mid_strip, "code"},
      {"strip_offsets_wrong_type", SampleKind::kGray, COMPRESSION_LZW,
       set_type(TIFFTAG_STRIPOFFSETS, TIFF_ASCII), "StripOffsets"},
      {"colormap_wrong_type", SampleKind::kPalette, COMPRESSION_LZW,
       set_type(TIFFTAG_COLORMAP, TIFF_ASCII), "olor"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SampleTiffOptions options;
    options.compression = c.compression;
    options.rows_per_strip = 16;
    const std::string path =
        WritePlot(std::string(c.name) + ".tif", MarkedPlot(320, 200, c.kind), options);
    Bytes file = ReadBytes(path);
    c.damage(path, file);
    testing::WriteBytes(path, file);

    control_.Load(path);
    EXPECT_EQ(control_.ImageWidth(), 320);
    for (const bool turn : {false, true}) {
      if (turn) control_.RotateRight();
      try {
        turn ? control_.Save() : control_.SaveAs(dir_ / "print.bmp", ImageFileType::kBitmap);
        ADD_FAILURE() << "no failure, turn " << turn;
      } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), kDeviceIoError);
        // The job's path is in its log line already; the reason does not repeat it.
        EXPECT_EQ(e.description().find(dir_.path().string()), std::string::npos);
        EXPECT_NE(e.description().find(c.reason), std::string::npos) << e.description();
      }
    }
    EXPECT_EQ(ReadBytes(path), file);
  }
}

TEST_F(ImagingControlTest, JpegImagesAreTurnedAndStayJpeg) {
  SampleTiffOptions options;
  options.compression = COMPRESSION_JPEG;
  options.rows_per_strip = 16;
  SampleImage image = BlankImage(96, 48, SampleKind::kRgb);
  for (uint32_t y = 0; y < 16; ++y) {
    for (uint32_t x = 0; x < 16; ++x) image.Row(y)[3 * x] = image.Row(y)[3 * x + 1] = 0;
  }
  const std::string path = WritePlot("photo.tif", image, options);
  control_.Load(path);
  control_.RotateRight();
  control_.Save();
  DecodedPage after;
  ASSERT_TRUE(DecodePage(path, 0, &after));
  EXPECT_EQ(after.compression, COMPRESSION_JPEG);
  EXPECT_EQ(after.width, 48u);
  EXPECT_EQ(after.height, 96u);
  // The blue block from the top-left corner is now top right (JPEG is lossy: roughly).
  const uint32_t corner = after.Pixel(after.width - 4, 4);
  EXPECT_LT(corner >> 16, 60u);
  EXPECT_GT(corner & 0xFF, 190u);
  EXPECT_GT(after.Pixel(4, 4) >> 16, 190u);
}

// A baseline JPEG stream of `rgb` (8-bit RGB rows), stored as YCbCr with the chroma halved both
// ways, as the writers of old-style JPEG TIFFs did.
std::vector<uint8_t> JpegStream(const std::vector<uint8_t>& rgb, uint32_t width, uint32_t height) {
  jpeg_compress_struct jpeg{};
  jpeg_error_mgr errors{};
  jpeg.err = jpeg_std_error(&errors);
  jpeg_create_compress(&jpeg);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&jpeg, &buffer, &size);
  jpeg.image_width = width;
  jpeg.image_height = height;
  jpeg.input_components = 3;
  jpeg.in_color_space = JCS_RGB;
  jpeg_set_defaults(&jpeg);
  jpeg_set_quality(&jpeg, 95, TRUE);
  jpeg_start_compress(&jpeg, TRUE);
  for (uint32_t y = 0; y < height; ++y) {
    JSAMPROW row = const_cast<uint8_t*>(rgb.data() + size_t{y} * width * 3);
    jpeg_write_scanlines(&jpeg, &row, 1);
  }
  jpeg_finish_compress(&jpeg);
  jpeg_destroy_compress(&jpeg);
  std::vector<uint8_t> stream(buffer, buffer + size);
  free(buffer);
  return stream;
}

// An old-style JPEG TIFF: one strip holding a whole JPEG stream, named by the interchange tags.
std::vector<uint8_t> OldStyleJpegTiff(const std::vector<uint8_t>& jpeg, uint32_t width,
                                      uint32_t height) {
  using testing::RawTiffBuilder;
  RawTiffBuilder b;
  b.Add(256, 4, width);
  b.Add(257, 4, height);
  b.Add(258, 3, 8);
  b.Add(259, 3, COMPRESSION_OJPEG);
  b.Add(262, 3, PHOTOMETRIC_YCBCR);
  b.Add(273, 4, RawTiffBuilder::kDataOffset);
  b.Add(277, 3, 3);
  b.Add(278, 4, height);
  b.Add(279, 4, static_cast<uint32_t>(jpeg.size()));
  b.Add(513, 4, 8);  // JPEGInterchangeFormat: the stream, right after the header
  b.Add(514, 4, static_cast<uint32_t>(jpeg.size()));
  b.AddRational(282, 150, 1);
  b.AddRational(283, 75, 1);
  b.Add(296, 3, RESUNIT_INCH);
  b.SetPixelData(jpeg);
  return b.Build();
}

// `file` (classic little-endian) with an 8 x 8 uncompressed gray page put in front of its pages.
std::vector<uint8_t> WithGrayPageFirst(std::vector<uint8_t> file) {
  const auto put = [&](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) file.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  const uint32_t old_first = file[4] | file[5] << 8 | file[6] << 16 | uint32_t{file[7]} << 24;
  if (file.size() % 2) file.push_back(0);
  const auto pixels = static_cast<uint32_t>(file.size());
  file.insert(file.end(), 64, 0x40);
  const auto ifd = static_cast<uint32_t>(file.size());
  const uint32_t entries[][3] = {{256, 3, 8}, {257, 3, 8}, {258, 3, 8},
                                 {259, 3, 1}, {262, 3, 1}, {273, 4, pixels},
                                 {277, 3, 1}, {278, 3, 8}, {279, 4, 64}};
  put(std::size(entries), 2);
  for (const auto& [tag, type, value] : entries) {
    put(tag, 2);
    put(type, 2);
    put(1, 4);
    put(value, 4);
  }
  put(old_first, 4);
  for (int i = 0; i < 4; ++i) file[4 + i] = static_cast<uint8_t>(ifd >> (8 * i));
  return file;
}

// Old-style JPEG is decoded through libtiff's RGBA reader and written as the RGB it decodes to,
// losslessly: the saved page is that decode turned, pixel for pixel, in the colours drawn. As a
// further page it is kept the same way; damaged data fails the turn and keeps the file.
TEST_F(ImagingControlTest, OldStyleJpegIsTurnedIntoTheRgbItDecodesTo) {
  constexpr uint32_t kWidth = 64, kHeight = 48;
  // Quarters of red, green, blue and white, on JPEG's 16-pixel blocks so that edges stay sharp.
  const uint8_t colours[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
  const auto quarter = [&](uint32_t x, uint32_t y) { return (y >= 32) * 2 + (x >= 32); };
  std::vector<uint8_t> rgb;
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x)
      rgb.insert(rgb.end(), colours[quarter(x, y)], colours[quarter(x, y)] + 3);
  }
  const std::vector<uint8_t> jpeg = JpegStream(rgb, kWidth, kHeight);
  const std::vector<uint8_t> single = OldStyleJpegTiff(jpeg, kWidth, kHeight);
  for (const bool further : {false, true}) {
    SCOPED_TRACE(further ? "second page" : "first page");
    const std::string path = dir_ / (further ? "scan2.tif" : "scan1.tif");
    testing::WriteBytes(path, further ? WithGrayPageFirst(single) : single);
    std::vector<uint32_t> before(kWidth * kHeight);
    {
      TIFF* tif = TIFFOpen(path.c_str(), "r");
      ASSERT_NE(tif, nullptr);
      if (further) TIFFSetDirectory(tif, 1);
      ASSERT_EQ(
          TIFFReadRGBAImageOriented(tif, kWidth, kHeight, before.data(), ORIENTATION_TOPLEFT, 1),
          1);
      TIFFClose(tif);
    }
    for (uint32_t y = 4; y < kHeight; y += 8) {
      for (uint32_t x = 4; x < kWidth; x += 8) {
        const uint32_t pixel = before[y * kWidth + x];
        const uint8_t* want = colours[quarter(x, y)];
        EXPECT_NEAR(TIFFGetR(pixel), want[0], 12) << x << "," << y;
        EXPECT_NEAR(TIFFGetG(pixel), want[1], 12) << x << "," << y;
        EXPECT_NEAR(TIFFGetB(pixel), want[2], 12) << x << "," << y;
      }
    }

    control_.Load(path);
    control_.RotateRight();
    control_.Save();
    EXPECT_EQ(control_.Status(), 0);
    DecodedPage after;
    ASSERT_TRUE(DecodePage(path, further ? 1 : 0, &after));
    EXPECT_EQ(after.compression, COMPRESSION_LZW);
    EXPECT_EQ(after.photometric, PHOTOMETRIC_RGB);
    ASSERT_EQ(after.samples, 3);
    ASSERT_EQ(after.bits, 8);
    const uint32_t width = further ? kWidth : kHeight, height = further ? kHeight : kWidth;
    ASSERT_EQ(after.width, width);
    ASSERT_EQ(after.height, height);
    EXPECT_EQ(after.x_res, further ? 150 : 75);
    for (uint32_t y = 0; y < kHeight; ++y) {
      for (uint32_t x = 0; x < kWidth; ++x) {
        const uint32_t pixel = before[y * kWidth + x];
        const uint32_t want = TIFFGetR(pixel) << 16 | TIFFGetG(pixel) << 8 | TIFFGetB(pixel);
        const uint32_t at = further ? after.Pixel(x, y) : after.Pixel(kHeight - 1 - y, x);
        ASSERT_EQ(at, want) << x << "," << y;
      }
    }
  }

  const std::vector<uint8_t> cut = OldStyleJpegTiff(
      std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2)), kWidth,
      kHeight);
  testing::WriteBytes(dir_ / "cut.tif", cut);
  control_.Load(dir_ / "cut.tif");
  control_.RotateRight();
  EXPECT_EQ(ErrorNumberOf([&] { control_.Save(); }), kDeviceIoError);
  EXPECT_EQ(ReadBytes(dir_ / "cut.tif"), cut);

  // The memory cap counts the band the RGBA reader decodes into: 0.75 MB of pixels in one
  // strip need more than 1 MB.
  testing::WriteBytes(
      dir_ / "large.tif",
      OldStyleJpegTiff(JpegStream(std::vector<uint8_t>(512 * 512 * 3, 128), 512, 512), 512, 512));
  SetDecodedSizeLimit(uint64_t{1} << 20);
  control_.Load(dir_ / "large.tif");
  control_.RotateRight();
  EXPECT_EQ(ErrorNumberOf([&] { control_.Save(); }), kOutOfMemory);
  SetDecodedSizeLimit(kMaxDecodedBytes);
}

TEST_F(ImagingControlTest, UnchangedImageIsNeverRewritten) {
  const std::string path = WritePlot("plan.tif", MarkedPlot(300, 200, SampleKind::kBilevel));
  const std::vector<uint8_t> original = ReadBytes(path);
  const auto written = std::filesystem::last_write_time(path);

  control_.Load(path);
  control_.Save();
  EXPECT_EQ(ReadBytes(path), original);
  // Four quarter turns are no change either.
  for (int i = 0; i < 4; ++i) control_.RotateRight();
  control_.Save();
  EXPECT_EQ(ReadBytes(path), original);
  EXPECT_EQ(std::filesystem::last_write_time(path), written);

  // A turned and saved image is unchanged again until the next turn.
  control_.RotateRight();
  control_.Save();
  const std::vector<uint8_t> turned = ReadBytes(path);
  EXPECT_NE(turned, original);
  control_.Save();
  EXPECT_EQ(ReadBytes(path), turned);
  // Only the saved file remains: no temporary file is left behind.
  EXPECT_EQ(dir_.Names().size(), 1u);
}

TEST_F(ImagingControlTest, FurtherPagesAreKeptAsTheyWere) {
  SampleTiffOptions options;
  options.compression = COMPRESSION_LZW;
  options.predictor = true;
  const std::vector<SampleImage> pages = {MarkedPlot(160, 100, SampleKind::kGray),
                                          MarkedPlot(90, 60, SampleKind::kGray),
                                          MarkedPlot(50, 70, SampleKind::kGray)};
  const std::string path = dir_ / "set.tif";
  WriteSampleTiff(path, pages, options);
  DecodedPage second_before, third_before;
  ASSERT_TRUE(DecodePage(path, 1, &second_before));
  ASSERT_TRUE(DecodePage(path, 2, &third_before));

  control_.Load(path);
  EXPECT_EQ(control_.ImageWidth(), 160);  // the first page is the image
  control_.RotateRight();
  control_.Save();

  DecodedPage first, second, third;
  ASSERT_TRUE(DecodePage(path, 0, &first));
  ASSERT_TRUE(DecodePage(path, 1, &second));
  ASSERT_TRUE(DecodePage(path, 2, &third));
  EXPECT_EQ(first.pages, 3);
  EXPECT_EQ(first.width, 100u);
  EXPECT_EQ(second.width, 90u);
  EXPECT_EQ(second.pixels, second_before.pixels);
  EXPECT_EQ(third.pixels, third_before.pixels);
  EXPECT_EQ(third.compression, COMPRESSION_LZW);

  // A page the file names but whose directory was cut off is not silently dropped.
  const std::string cut_path = dir_ / "cut.tif";
  WriteSampleTiff(cut_path, pages, options);
  std::vector<uint8_t> cut = ReadBytes(cut_path);
  const auto u32 = [&](size_t at) {
    return size_t{cut[at]} | size_t{cut[at + 1]} << 8 | size_t{cut[at + 2]} << 16 |
           size_t{cut[at + 3]} << 24;
  };
  size_t ifd = u32(4);
  for (int page = 0; page < 2; ++page) ifd = u32(ifd + 2 + 12 * (cut[ifd] | cut[ifd + 1] << 8));
  cut.resize(ifd + 1);  // the third page's directory is gone
  testing::WriteBytes(cut_path, cut);
  control_.Load(cut_path);
  control_.RotateRight();
  EXPECT_EQ(ErrorNumberOf([&] { control_.Save(); }), kDeviceIoError);
  EXPECT_EQ(ReadBytes(cut_path), cut);
}

TEST_F(ImagingControlTest, SaveAsTiffWritesTheTurnedImageElsewhere) {
  const std::string path = WritePlot("plan.tif", MarkedPlot(120, 80, SampleKind::kBilevel));
  const std::vector<uint8_t> original = ReadBytes(path);
  control_.Load(path);
  control_.SaveAs(dir_ / "copy.tif", ImageFileType::kTiff);
  EXPECT_EQ(ReadBytes(dir_ / "copy.tif"), original);  // unchanged: an exact copy

  control_.RotateRight();
  control_.SaveAs(dir_ / "turned.tif", ImageFileType::kTiff);
  DecodedPage turned;
  ASSERT_TRUE(DecodePage(dir_ / "turned.tif", 0, &turned));
  EXPECT_EQ(turned.width, 80u);
  EXPECT_EQ(ReadBytes(path), original);  // the current file is not touched
  EXPECT_EQ(control_.Image(), path);
}

// The bitmap, read back through the picture box, shows exactly the decoded image (turned or not).
TEST_F(ImagingControlTest, BitmapExportReadsBackAsTheDecodedImage) {
  for (SampleKind kind :
       {SampleKind::kBilevel, SampleKind::kGray, SampleKind::kRgb, SampleKind::kPalette}) {
    for (int turns : {0, 1}) {
      const std::string trace = std::to_string(static_cast<int>(kind) * 10 + turns);
      SCOPED_TRACE(trace);
      SampleTiffOptions options;
      options.rows_per_strip = 8;
      const SampleImage image = MarkedPlot(203, 131, kind);
      const std::string path = WritePlot("plot" + trace + ".tif", image, options);
      control_.Load(path);
      for (int i = 0; i < turns; ++i) control_.RotateRight();
      control_.SaveAs(dir_ / "print.bmp", ImageFileType::kBitmap);
      control_.Save();
      DecodedPage page;
      ASSERT_TRUE(DecodePage(path, 0, &page));

      PictureBox box;
      box.LoadPicture(dir_ / "print.bmp");
      const RasterFormat& format = box.format();
      ASSERT_EQ(format.width, page.width);
      ASSERT_EQ(format.height, page.height);
      std::vector<uint8_t> row(format.RowBytes());
      for (uint32_t y = 0; y < page.height; ++y) {
        ASSERT_TRUE(box.NextRow(row));
        for (uint32_t x = 0; x < page.width; ++x) {
          const uint32_t source = page.Pixel(x, y);
          switch (kind) {
            case SampleKind::kBilevel: {
              ASSERT_EQ(format.bits_per_sample, 1);
              ASSERT_TRUE(format.min_is_white);
              ASSERT_EQ((row[x / 8] >> (7 - x % 8)) & 1u, source) << x << "," << y;
              break;
            }
            case SampleKind::kGray:
              ASSERT_EQ(format.samples_per_pixel, 1);
              ASSERT_FALSE(format.min_is_white);
              ASSERT_EQ(row[x], source) << x << "," << y;
              break;
            case SampleKind::kRgb:
              ASSERT_EQ(format.samples_per_pixel, 3);
              ASSERT_EQ(uint32_t(row[3 * x] << 16 | row[3 * x + 1] << 8 | row[3 * x + 2]), source);
              break;
            case SampleKind::kPalette: {  // indexes into the page's own palette
              ASSERT_EQ(format.colours, RasterColours::kIndexed);
              const uint32_t bits = format.bits_per_sample, bit = x * bits;
              const uint32_t index = (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
              ASSERT_EQ(format.palette.at(index), image.palette[source]) << x << "," << y;
              break;
            }
          }
        }
      }
      EXPECT_FALSE(box.NextRow(row));
      ASSERT_TRUE(box.Rewind());
      ASSERT_TRUE(box.NextRow(row));
    }
  }
}

// Inks of unknown colours have no honest print: refused with the reason, no file left behind.
TEST_F(ImagingControlTest, PrintPictureRefusesInksOfUnknownColour) {
  const struct {
    testing::LayoutSpec spec;
    const char* reason;
  } cases[] = {
      {{"unnamed", 8, 3, PHOTOMETRIC_SEPARATED}, "3 inks other than CMYK"},
      {{"spot", 8, 2, PHOTOMETRIC_SEPARATED, PLANARCONFIG_CONTIG, SAMPLEFORMAT_UINT, 0,
        COMPRESSION_LZW, "Black\0PANTONE 185 C\0"sv},
       "the ink 'PANTONE 185 C', whose colour is unknown"},
      {{"twice", 8, 2, PHOTOMETRIC_SEPARATED, PLANARCONFIG_CONTIG, SAMPLEFORMAT_UINT, 0,
        COMPRESSION_LZW, "Black\0black\0"sv},
       "two inks named 'black'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.spec.name);
    const std::string path = dir_ / (std::string(c.spec.name) + ".tif");
    testing::WriteLayoutTiff(path, c.spec, 40, 30);
    control_.Load(path);
    for (const bool turned : {false, true}) {
      if (turned) control_.RotateRight();
      try {
        control_.SaveAs(dir_ / "print.bmp", ImageFileType::kBitmap);
        ADD_FAILURE() << "exported";
      } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), kInvalidPropertyValue);
        EXPECT_NE(e.description().find(c.reason), std::string::npos) << e.description();
      }
      EXPECT_FALSE(std::filesystem::exists(dir_ / "print.bmp"));
    }
  }
}

TEST_F(ImagingControlTest, FailuresThrowAndSetStatus) {
  EXPECT_EQ(ErrorNumberOf([&] { control_.Load(dir_ / "missing.tif"); }), kFileNotFound);
  EXPECT_EQ(control_.Status(), kFileNotFound);
  EXPECT_FALSE(control_.HasImage());
  EXPECT_EQ(ErrorNumberOf([&] { control_.Save(); }), kInvalidProcedureCall);
  EXPECT_EQ(ErrorNumberOf([&] { control_.RotateRight(); }), kInvalidProcedureCall);

  const std::string plot = WritePlot("plan.tif", MarkedPlot(64, 48, SampleKind::kBilevel));
  EXPECT_EQ(ErrorNumberOf([&] { control_.Load(dir_.path().string()); }), kPathFileAccessError);
  testing::WriteBytes(dir_ / "text.tif", {'h', 'e', 'l', 'l', 'o'});
  EXPECT_EQ(ErrorNumberOf([&] { control_.Load(dir_ / "text.tif"); }), kInvalidPropertyValue);
  EXPECT_EQ(control_.Status(), kInvalidPropertyValue);

  control_.Load(plot);
  EXPECT_EQ(control_.Status(), 0);
  EXPECT_EQ(control_.Image(), plot);
}

// Headers no honest writer produces: refused at load or failing cleanly later, never a crash, a
// hang or a huge allocation; a failed save leaves the job file and its directory as they were.
TEST_F(ImagingControlTest, HostileFilesFailCleanly) {
  using testing::RawTiffBuilder;
  const auto header = [](uint32_t width, uint32_t height, uint32_t bytes) {
    RawTiffBuilder b;
    b.Add(256, 4, width);
    b.Add(257, 4, height);
    b.Add(258, 3, 8);
    b.Add(259, 3, 1);
    b.Add(262, 3, 1);
    b.Add(273, 4, RawTiffBuilder::kDataOffset);
    b.Add(278, 4, height);
    b.Add(279, 4, bytes);
    b.SetPixelData(std::vector<uint8_t>(std::min<uint32_t>(bytes, 4096), 0x55));
    return b;
  };
  const auto load = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    testing::WriteBytes(dir_ / name, bytes);
    return ErrorNumberOf([&] { control_.Load(dir_ / name); });
  };

  EXPECT_EQ(load("zero_width.tif", header(0, 10, 0).Build()), kInvalidPropertyValue);
  EXPECT_EQ(load("zero_height.tif", header(10, 0, 0).Build()), kInvalidPropertyValue);
  // A header declaring a terabyte of pixels is measured; only a turn, which would hold them
  // all, is refused, before anything is allocated.
  EXPECT_EQ(load("huge.tif", header(1000000, 1000000, 4096).Build()), 0);
  EXPECT_EQ(control_.ImageWidth(), 1000000);
  control_.RotateRight();
  EXPECT_EQ(ErrorNumberOf([&] { control_.Save(); }), kOutOfMemory);

  // Resolution 0 is measured as 0; the rest of the image is fine.
  RawTiffBuilder zero_dpi = header(64, 64, 4096);
  zero_dpi.AddRational(282, 0, 1);
  zero_dpi.AddRational(283, 0, 1);
  EXPECT_EQ(load("zero_dpi.tif", zero_dpi.Build()), 0);
  EXPECT_EQ(control_.HorizontalResolution(), 0);

  // An IFD naming itself as the next one: a turn and save of all pages still ends.
  EXPECT_EQ(load("loop.tif", header(64, 64, 4096).Build(true)), 0);
  control_.RotateRight();
  control_.Save();
  DecodedPage page;
  ASSERT_TRUE(DecodePage(dir_ / "loop.tif", 0, &page));
  EXPECT_EQ(page.pages, 1);

  // Pixel data that is not there: the load (header only) works, decoding fails, and neither the
  // job file nor its directory changes.
  const auto expect_decode_failure = [&](const std::string& name,
                                         const std::vector<uint8_t>& bytes) {
    SCOPED_TRACE(name);
    ASSERT_EQ(load(name, bytes), 0);
    const size_t entries = dir_.Names().size();
    control_.RotateRight();
    EXPECT_EQ(ErrorNumberOf([&] { control_.Save(); }), kDeviceIoError);
    EXPECT_EQ(control_.Status(), kDeviceIoError);
    EXPECT_EQ(ErrorNumberOf([&] { control_.SaveAs(dir_ / "out.bmp", ImageFileType::kBitmap); }),
              kDeviceIoError);
    EXPECT_EQ(ReadBytes(dir_ / name), bytes);
    EXPECT_EQ(dir_.Names().size(), entries);
  };
  RawTiffBuilder past_end = header(64, 64, 4096);
  past_end.Add(273, 4, 0x7FFFFFF0u);  // strip offset far past the end of the file
  expect_decode_failure("past_end.tif", past_end.Build());
  RawTiffBuilder short_strip = header(64, 64, 4096);
  short_strip.SetPixelData(std::vector<uint8_t>(1000, 0x55));  // 4096 bytes claimed
  expect_decode_failure("short_strip.tif", short_strip.Build());

  // A G4 strip cut short: the rows after the cut are missing, so the turn fails.
  SampleTiffOptions options;
  options.rows_per_strip = 0;
  const std::string full =
      WritePlot("full.tif", MarkedPlot(400, 300, SampleKind::kBilevel), options);
  TIFF* tif = TIFFOpen(full.c_str(), "r");
  std::vector<uint8_t> strip(static_cast<size_t>(TIFFGetStrileByteCount(tif, 0)));
  TIFFReadRawStrip(tif, 0, strip.data(), static_cast<tmsize_t>(strip.size()));
  TIFFClose(tif);
  RawTiffBuilder g4;
  g4.Add(256, 4, 400);
  g4.Add(257, 4, 300);
  g4.Add(258, 3, 1);
  g4.Add(259, 3, COMPRESSION_CCITTFAX4);
  g4.Add(262, 3, PHOTOMETRIC_MINISWHITE);
  g4.Add(273, 4, RawTiffBuilder::kDataOffset);
  g4.Add(278, 4, 300);
  g4.Add(279, 4, static_cast<uint32_t>(strip.size() / 3));
  strip.resize(strip.size() / 3);
  g4.SetPixelData(strip);
  ASSERT_EQ(load("cut.tif", g4.Build()), 0);
  control_.RotateRight();
  EXPECT_EQ(ErrorNumberOf([&] { control_.Save(); }), kDeviceIoError);
}

}  // namespace
}  // namespace plotspool
