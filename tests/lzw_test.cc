#include "imaging/lzw_decoder.h"
#include "imaging/lzw_encoder.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace plotspool {
namespace {

struct Strips {
  uint32_t width = 0;
  uint16_t samples = 1;
  bool predictor = false;
  uint32_t rows_per_strip = 0;
  std::vector<uint8_t> pixels;  // all rows, packed
};

// A strict TIFF LZW reader: the strip must end with EOI at the width the reader has reached,
// followed by padding only. libtiff stops once it has the bytes it wants, so it would accept a
// strip whose end other readers misread. Returns false on any malformed code.
bool StrictDecode(const std::vector<uint8_t>& in, std::vector<uint8_t>& out) {
  out.clear();
  std::vector<std::vector<uint8_t>> table(4096);
  for (int i = 0; i < 256; ++i) table[i] = {static_cast<uint8_t>(i)};
  size_t bit = 0;
  auto read = [&](int width, uint32_t& code) {
    if (bit + width > in.size() * 8) return false;
    code = 0;
    for (int i = 0; i < width; ++i, ++bit) code = code << 1 | ((in[bit / 8] >> (7 - bit % 8)) & 1);
    return true;
  };
  int width = 9;
  uint32_t next = 258, code = 0;
  int64_t previous = -1;
  for (;;) {
    if (!read(width, code)) return false;
    if (code == 257) break;
    if (code == 256) {
      width = 9;
      next = 258;
      previous = -1;
      continue;
    }
    std::vector<uint8_t> string;
    if (code < next && (code < 256 || !table[code].empty())) {
      string = table[code];
    } else if (code == next && previous >= 0) {
      string = table[previous];
      string.push_back(table[previous][0]);
    } else {
      return false;
    }
    if (previous >= 0) {
      if (next >= 4096) return false;
      table[next] = table[previous];
      table[next].push_back(string[0]);
      ++next;
      if (next >= (1u << width) - 1 && width < 12) ++width;
    }
    out.insert(out.end(), string.begin(), string.end());
    previous = code;
  }
  return (in.size() * 8 - bit) < 8;
}

// libtiff's decoding of strip `strip` of an open file, with every message it gave (none when
// the strip is sound). `raw` receives the strip as stored.
struct LibtiffStrip {
  std::vector<uint8_t> raw;
  std::vector<uint8_t> decoded;
  bool ok = false;
};

int Note(TIFF*, void* messages, const char*, const char* format, va_list args) {
  char text[512];
  vsnprintf(text, sizeof text, format, args);
  static_cast<std::string*>(messages)->append(text).append("\n");
  return 1;
}

TIFF* OpenNoting(const std::string& path, std::string& messages) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options, Note, &messages);
  TIFFOpenOptionsSetWarningHandlerExtR(options, Note, &messages);
  TIFF* tif = TIFFOpenExt(path.c_str(), "r", options);
  TIFFOpenOptionsFree(options);
  return tif;
}

LibtiffStrip ReadWithLibtiff(TIFF* in, uint32_t strip, std::string& messages) {
  LibtiffStrip s;
  s.raw.resize(TIFFGetStrileByteCount(in, strip));
  EXPECT_EQ(TIFFReadRawStrip(in, strip, s.raw.data(), static_cast<tmsize_t>(s.raw.size())),
            static_cast<tmsize_t>(s.raw.size()));
  uint32_t height = 0, rows_per_strip = 0;
  TIFFGetField(in, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(in, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
  const uint32_t rows = std::min(rows_per_strip, height - strip * rows_per_strip);
  s.decoded.resize(size_t{rows} * TIFFScanlineSize(in));
  messages.clear();
  const tmsize_t want = static_cast<tmsize_t>(s.decoded.size());
  s.ok = TIFFReadEncodedStrip(in, strip, s.decoded.data(), want) == want && messages.empty();
  return s;
}

// Our decoding of a strip as the row reader does it: the codes, then the predictor.
bool DecodeHere(TIFF* in, const std::vector<uint8_t>& raw, std::vector<uint8_t>& out) {
  uint16_t predictor = PREDICTOR_NONE, samples = 1;
  TIFFGetFieldDefaulted(in, TIFFTAG_PREDICTOR, &predictor);
  TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
  if (!DecodeLzwStrip(raw, out)) return false;
  const size_t row_bytes = static_cast<size_t>(TIFFScanlineSize(in));
  if (predictor == PREDICTOR_HORIZONTAL) {
    UndoHorizontalDifferencing(out.data(), out.size() / row_bytes, row_bytes, samples);
  }
  return true;
}

// Every strip of `path` decodes here to libtiff's bytes, none being left to libtiff.
void ExpectDecodedHereAsByLibtiff(const std::string& path) {
  std::string messages;
  TIFF* in = OpenNoting(path, messages);
  ASSERT_NE(in, nullptr) << messages;
  for (uint32_t strip = 0; strip < TIFFNumberOfStrips(in); ++strip) {
    const LibtiffStrip expected = ReadWithLibtiff(in, strip, messages);
    ASSERT_TRUE(expected.ok) << messages;
    std::vector<uint8_t> here(expected.decoded.size());
    EXPECT_TRUE(DecodeHere(in, expected.raw, here)) << path << " strip " << strip;
    EXPECT_EQ(here, expected.decoded) << path << " strip " << strip;
  }
  TIFFClose(in);
}

// A new LZW TIFF at `path` with the layout of `s`, `height` rows high, ready for its strips.
TIFF* CreateStrips(const Strips& s, uint32_t height, const std::string& path) {
  TIFF* out = TIFFOpen(path.c_str(), "w");
  if (out == nullptr) return nullptr;
  TIFFSetField(out, TIFFTAG_IMAGEWIDTH, s.width);
  TIFFSetField(out, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, s.samples);
  TIFFSetField(out, TIFFTAG_PHOTOMETRIC, s.samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(out, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(out, TIFFTAG_PREDICTOR, s.predictor ? PREDICTOR_HORIZONTAL : PREDICTOR_NONE);
  TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, s.rows_per_strip);
  return out;
}

// `pixels` written by libtiff's own LZW encoder with the tags of `s`.
void WriteWithLibtiff(const Strips& s, const std::string& path) {
  const size_t row_bytes = size_t{s.width} * s.samples;
  const uint32_t height = static_cast<uint32_t>(s.pixels.size() / row_bytes);
  TIFF* out = CreateStrips(s, height, path);
  ASSERT_NE(out, nullptr);
  uint32_t strip = 0;
  for (uint32_t y = 0; y < height; y += s.rows_per_strip, ++strip) {
    const uint32_t rows = std::min(s.rows_per_strip, height - y);
    std::vector<uint8_t> copy(s.pixels.begin() + y * row_bytes,
                              s.pixels.begin() + (y + rows) * row_bytes);
    EXPECT_GE(TIFFWriteEncodedStrip(out, strip, copy.data(), static_cast<tmsize_t>(copy.size())),
              0);
  }
  EXPECT_EQ(TIFFWriteDirectory(out), 1);
  TIFFClose(out);
}

// Encodes `s` strip by strip with one encoder (so each strip also starts from the state the
// previous one left), stores the strips raw in a TIFF and decodes that file with libtiff. Our
// decoder must read those strips, and libtiff's encoding of `s`, as libtiff does.
std::vector<uint8_t> RoundTrip(const Strips& s, const std::string& path) {
  const size_t row_bytes = size_t{s.width} * s.samples;
  const uint32_t height = static_cast<uint32_t>(s.pixels.size() / row_bytes);
  TIFF* out = CreateStrips(s, height, path);
  if (out == nullptr) return {};
  LzwEncoder encoder;
  std::vector<uint8_t> encoded;
  uint32_t strip = 0;
  for (uint32_t y = 0; y < height; y += s.rows_per_strip, ++strip) {
    const uint32_t rows = std::min(s.rows_per_strip, height - y);
    encoder.EncodeStrip(s.pixels.data() + y * row_bytes, rows, row_bytes,
                        s.predictor ? s.samples : 0, encoded);
    std::vector<uint8_t> strict;
    EXPECT_TRUE(StrictDecode(encoded, strict)) << "strip " << strip;
    if (!s.predictor) {
      EXPECT_TRUE(std::equal(strict.begin(), strict.end(), s.pixels.begin() + y * row_bytes,
                             s.pixels.begin() + (y + rows) * row_bytes))
          << "strip " << strip;
    }
    EXPECT_GE(TIFFWriteRawStrip(out, strip, encoded.data(), static_cast<tmsize_t>(encoded.size())),
              0);
  }
  EXPECT_EQ(TIFFWriteDirectory(out), 1);
  TIFFClose(out);

  TIFF* in = TIFFOpen(path.c_str(), "r");
  if (in == nullptr) return {};
  std::vector<uint8_t> decoded(s.pixels.size());
  strip = 0;
  for (uint32_t y = 0; y < height; y += s.rows_per_strip, ++strip) {
    const tmsize_t want = static_cast<tmsize_t>(std::min(s.rows_per_strip, height - y) * row_bytes);
    EXPECT_EQ(TIFFReadEncodedStrip(in, strip, decoded.data() + y * row_bytes, want), want);
  }
  TIFFClose(in);
  ExpectDecodedHereAsByLibtiff(path);
  WriteWithLibtiff(s, path + ".libtiff.tif");
  ExpectDecodedHereAsByLibtiff(path + ".libtiff.tif");
  return decoded;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<uint8_t>(random() % alphabet);
  return bytes;
}

// White paper with lines and some grey noise, as plots look: long runs, few distinct strings.
std::vector<uint8_t> PlotLike(uint32_t width, uint32_t height, uint16_t samples, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes(size_t{width} * height * samples, 255);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = &bytes[(size_t{y} * width + x) * samples];
      if (x % 97 == y % 13 || y % 41 == 0) {
        for (int c = 0; c < samples; ++c) p[c] = static_cast<uint8_t>(30 * c);
      } else if (random() % 50 == 0) {
        p[0] = static_cast<uint8_t>(random());
      }
    }
  }
  return bytes;
}

// Runs of random lengths (1 to 3000) of a few byte values between bits of noise: the encoder
// matches runs in one step, so runs must meet table resets, code-width changes and each other
// at every point.
std::vector<uint8_t> RunsOfFewValues(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> bytes;
  while (bytes.size() < n) {
    const uint8_t value = static_cast<uint8_t>(random() % 4 == 0 ? random() : random() % 3 * 127);
    bytes.insert(bytes.end(), std::min<size_t>(1 + random() % 3000, n - bytes.size()), value);
  }
  return bytes;
}

TEST(LzwEncoder, LibtiffDecodesRandomAndPlotLikeStripsPixelExact) {
  testing::TempDir dir;
  int n = 0;
  for (uint16_t samples : {1, 3}) {
    for (bool predictor : {false, true}) {
      for (uint32_t width : {1u, 2u, 7u, 333u, 1001u, 4099u}) {
        const uint32_t height = 45;
        for (int kind = 0; kind < 4; ++kind) {
          Strips s{width, samples, predictor, kind >= 2 ? height : 7u, {}};
          const size_t bytes = size_t{width} * height * samples;
          s.pixels = kind == 0   ? RandomBytes(bytes, width + kind)
                     : kind == 1 ? RandomBytes(bytes, width, 3)
                     : kind == 2 ? PlotLike(width, height, samples, width)
                                 : RunsOfFewValues(bytes, width);
          const std::string path = (dir.path() / ("t" + std::to_string(n++) + ".tif")).string();
          EXPECT_EQ(RoundTrip(s, path), s.pixels)
              << "samples " << samples << " predictor " << predictor << " width " << width
              << " kind " << kind;
        }
      }
    }
  }
}

// Random bytes make a new code for nearly every byte, so these lengths end a strip at each
// point around the code widths growing (9 to 12 bits) and around the first table reset.
TEST(LzwEncoder, StripsEndingWhereTheCodeWidthChanges) {
  testing::TempDir dir;
  for (uint32_t around : {254u, 766u, 1790u, 3836u}) {
    for (uint32_t width = around - 24; width < around + 24; ++width) {
      Strips s{width, 1, false, 1, RandomBytes(width, width)};
      const std::string path = (dir.path() / ("w" + std::to_string(width) + ".tif")).string();
      EXPECT_EQ(RoundTrip(s, path), s.pixels) << "width " << width;
    }
  }
}

TEST(LzwEncoder, LongRunsAndManyResetsInOneStrip) {
  testing::TempDir dir;
  Strips s{5000, 1, false, 400, {}};
  s.pixels.assign(size_t{5000} * 400, 255);
  const std::vector<uint8_t> noise = RandomBytes(s.pixels.size() / 2, 7);
  std::copy(noise.begin(), noise.end(), s.pixels.begin() + s.pixels.size() / 4);
  EXPECT_EQ(RoundTrip(s, (dir.path() / "runs.tif").string()), s.pixels);
}

// A damaged strip is either decoded exactly as libtiff decodes it without complaint, or left to
// libtiff (which then reports the damage): cut short, bytes changed, bits flipped.
TEST(LzwDecoder, DamagedStripsAreDecodedAsLibtiffDoesOrLeftToIt) {
  testing::TempDir dir;
  Strips s{613, 3, true, 40, PlotLike(613, 40, 3, 5)};
  const std::string clean = (dir.path() / "clean.tif").string();
  WriteWithLibtiff(s, clean);
  std::string messages;
  TIFF* in = OpenNoting(clean, messages);
  ASSERT_NE(in, nullptr);
  const std::vector<uint8_t> raw = ReadWithLibtiff(in, 0, messages).raw;
  TIFFClose(in);
  std::mt19937 random(11);
  int decoded_here = 0, left = 0;
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> damaged = raw;
    switch (i % 3) {
      case 0:
        damaged.resize(random() % damaged.size());
        break;
      case 1:
        damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
        break;
      default:
        damaged[random() % damaged.size()] ^= static_cast<uint8_t>(1u << random() % 8);
        break;
    }
    if (damaged.empty()) continue;
    const std::string path = (dir.path() / ("d" + std::to_string(i) + ".tif")).string();
    TIFF* out = CreateStrips(s, s.rows_per_strip, path);
    ASSERT_NE(out, nullptr);
    TIFFWriteRawStrip(out, 0, damaged.data(), static_cast<tmsize_t>(damaged.size()));
    TIFFWriteDirectory(out);
    TIFFClose(out);
    in = OpenNoting(path, messages);
    ASSERT_NE(in, nullptr);
    const LibtiffStrip libtiff = ReadWithLibtiff(in, 0, messages);
    std::vector<uint8_t> here(libtiff.decoded.size());
    if (DecodeHere(in, damaged, here)) {
      ++decoded_here;
      EXPECT_TRUE(libtiff.ok) << "damage " << i << ": " << messages;
      EXPECT_EQ(here, libtiff.decoded) << "damage " << i;
    } else {
      ++left;
    }
    TIFFClose(in);
  }
  // Both outcomes occur, so neither half of the check is empty.
  EXPECT_GT(decoded_here, 20);
  EXPECT_GT(left, 20);
}

}  // namespace
}  // namespace plotspool
