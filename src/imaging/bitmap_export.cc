#include "imaging/bitmap_export.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "base/error.h"

namespace plotspool {
namespace {

uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return (r << 16) | (g << 8) | b; }

// Sample x of a packed row as an 8-bit value (sub-byte samples scaled up, 16-bit ones cut).
uint8_t Sample8(const uint8_t* row, size_t index, uint16_t bits) {
  switch (bits) {
    case 16: {
      uint16_t value;
      memcpy(&value, row + index * 2, 2);  // libtiff hands 16-bit samples over in host order
      return static_cast<uint8_t>(value >> 8);
    }
    case 8:
      return row[index];
    default: {
      const size_t bit = index * bits;
      const uint32_t value = (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
      return static_cast<uint8_t>(value * 255 / ((1u << bits) - 1));
    }
  }
}

uint32_t Index(const uint8_t* row, size_t x, uint16_t bits) {
  if (bits == 8) return row[x];
  const size_t bit = x * bits;
  return (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
}

// Red and blue of 8-bit RGB pixels exchanged, as the bitmap stores them. Two pixels at a time
// in a 64-bit word where the byte order allows; the bytes one word writes beyond its two
// pixels are written again by the next.
void SwapRedAndBlue(const uint8_t* in, uint8_t* out, uint32_t width) {
  uint32_t x = 0;
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t kRed = 0x00000000FF0000FFull;   // bytes 0 and 3
    constexpr uint64_t kKept = 0xFFFF00FF0000FF00ull;  // green and the bytes past the pair
    for (; x + 3 <= width; x += 2, in += 6, out += 6) {
      uint64_t w;
      memcpy(&w, in, 8);
      w = (w & kKept) | ((w & kRed) << 16) | ((w >> 16) & kRed);
      memcpy(out, &w, 8);
    }
  }
  for (; x < width; ++x, in += 3, out += 3) {
    const uint8_t red = in[0];
    out[0] = in[2];
    out[1] = in[1];
    out[2] = red;
  }
}

[[noreturn]] void NoBitmap(const std::string& what) {
  throw RuntimeError(kInvalidPropertyValue, "Invalid property value (no bitmap for " + what + ")");
}

// The converter shows samples as unsigned intensities of 1 to 16 bits in the usual colour
// models; other pages (they can still be turned) have no faithful bitmap here.
void RequireBitmapLayout(const PageLayout& layout) {
  if (layout.planes > 1) NoBitmap("separate sample planes");
  if (layout.sample_format != SAMPLEFORMAT_UINT) NoBitmap("signed or floating-point samples");
  const uint16_t bits = layout.bits_per_sample;
  if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16) {
    NoBitmap(std::to_string(bits) + "-bit samples");
  }
  switch (layout.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_RGB:
    case PHOTOMETRIC_YCBCR:
      return;
    case PHOTOMETRIC_PALETTE:
      if (bits > 8) NoBitmap("a 16-bit palette");
      return;
    case PHOTOMETRIC_SEPARATED:
      if (layout.ink_set != INKSET_CMYK || layout.samples_per_pixel < 4 ||
          layout.samples_per_pixel - layout.extra_samples != 4) {
        NoBitmap("inks other than CMYK");
      }
      return;
    default:
      NoBitmap("this colour space");
  }
}

}  // namespace

BitmapRowConverter::BitmapRowConverter(const PageLayout& layout, uint32_t width, uint32_t height,
                                       double x_dpi, double y_dpi)
    : bits_(layout.bits_per_sample), samples_(layout.samples_per_pixel), width_(width) {
  RequireBitmapLayout(layout);
  format_.width = width;
  format_.height = height;
  format_.x_dpi = x_dpi;
  format_.y_dpi = y_dpi;
  const bool min_is_white = layout.photometric == PHOTOMETRIC_MINISWHITE;
  switch (layout.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
      if (bits_ == 1 && samples_ == 1) {
        kind_ = Kind::kCopy;
        format_.bits = 1;
        format_.palette =
            min_is_white ? std::vector<uint32_t>{0xFFFFFF, 0} : std::vector<uint32_t>{0, 0xFFFFFF};
      } else {
        kind_ = bits_ == 8 && samples_ == 1 ? Kind::kCopy : Kind::kGrayToByte;
        format_.bits = 8;
        for (uint32_t i = 0; i < 256; ++i) {
          const uint32_t v = min_is_white ? 255 - i : i;
          format_.palette.push_back(Rgb(v, v, v));
        }
      }
      break;
    case PHOTOMETRIC_PALETTE: {
      const size_t n = size_t{1} << bits_;
      // Some writers store 8-bit palette values; the format wants 16-bit ones.
      const bool eight_bit = std::all_of(layout.colormap.begin(), layout.colormap.end(),
                                         [](uint16_t v) { return v < 256; });
      const int shift = eight_bit ? 0 : 8;
      for (size_t i = 0; i < n; ++i) {
        format_.palette.push_back(Rgb(layout.colormap[i] >> shift, layout.colormap[n + i] >> shift,
                                      layout.colormap[2 * n + i] >> shift));
      }
      kind_ = bits_ == 1 || bits_ == 8 ? Kind::kCopy : Kind::kIndexToByte;
      format_.bits = bits_ == 1 ? 1 : 8;
      break;
    }
    case PHOTOMETRIC_SEPARATED:
      kind_ = Kind::kInk;
      format_.bits = 24;
      break;
    default:  // RGB, and YCbCr decoded as RGB
      kind_ = Kind::kColour;
      format_.bits = 24;
      break;
  }
}

void BitmapRowConverter::Convert(const uint8_t* in, uint8_t* out) const {
  switch (kind_) {
    case Kind::kCopy:
      memcpy(out, in, format_.PackedRowBytes());
      return;
    case Kind::kGrayToByte:
      for (uint32_t x = 0; x < width_; ++x) out[x] = Sample8(in, size_t{x} * samples_, bits_);
      return;
    case Kind::kIndexToByte:
      for (uint32_t x = 0; x < width_; ++x) out[x] = static_cast<uint8_t>(Index(in, x, bits_));
      return;
    case Kind::kColour:
      if (bits_ == 8 && samples_ == 3) {
        SwapRedAndBlue(in, out, width_);
        return;
      }
      for (uint32_t x = 0; x < width_; ++x, out += 3) {
        const size_t s = size_t{x} * samples_;
        out[0] = Sample8(in, s + 2, bits_);
        out[1] = Sample8(in, s + 1, bits_);
        out[2] = Sample8(in, s, bits_);
      }
      return;
    case Kind::kInk:
      for (uint32_t x = 0; x < width_; ++x, out += 3) {
        const size_t s = size_t{x} * samples_;
        const uint32_t white = 255 - Sample8(in, s + 3, bits_);
        out[0] = static_cast<uint8_t>((255 - Sample8(in, s + 2, bits_)) * white / 255);
        out[1] = static_cast<uint8_t>((255 - Sample8(in, s + 1, bits_)) * white / 255);
        out[2] = static_cast<uint8_t>((255 - Sample8(in, s, bits_)) * white / 255);
      }
      return;
  }
}

}  // namespace plotspool
