#include "imaging/print_picture.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include "base/error.h"

namespace plotspool {
namespace {

constexpr int kInvalidPicture = 481;
constexpr char kMagic[8] = {'P', 'S', 'P', 'R', 'I', 'N', 'T', '1'};
constexpr size_t kHeaderBytes = 8 + 4 + 4 + 4 + 4 * 8 + 4;
constexpr size_t kBufferBytes = size_t{1} << 20;

// Sample `index` of a decoded row as its raw bits. libtiff hands over whole-byte samples in host
// order and smaller ones packed MSB first.
uint64_t RawSample(const uint8_t* row, size_t index, uint16_t bits) {
  switch (bits) {
    case 8:
      return row[index];
    case 16: {
      uint16_t v;
      memcpy(&v, row + index * 2, 2);
      return v;
    }
    case 32: {
      uint32_t v;
      memcpy(&v, row + index * 4, 4);
      return v;
    }
    case 64: {
      uint64_t v;
      memcpy(&v, row + index * 8, 8);
      return v;
    }
    case 24: {
      const uint8_t* p = row + index * 3;
      if constexpr (std::endian::native == std::endian::little) {
        return p[0] | (uint64_t{p[1]} << 8) | (uint64_t{p[2]} << 16);
      } else {
        return p[2] | (uint64_t{p[1]} << 8) | (uint64_t{p[0]} << 16);
      }
    }
    default: {
      const size_t first = index * bits;
      uint64_t value = 0;
      for (size_t bit = first; bit < first + bits;) {
        const size_t in_byte = bit % 8;
        const size_t take = std::min<size_t>(8 - in_byte, first + bits - bit);
        const uint32_t part = (row[bit / 8] >> (8 - in_byte - take)) & ((1u << take) - 1);
        value = (value << take) | part;
        bit += take;
      }
      return value;
    }
  }
}

// A binary floating-point number of `bits` (16: half, 24: the 1-7-16 format, 32, 64).
double FloatSample(uint64_t raw, uint16_t bits) {
  if (bits == 32) return std::bit_cast<float>(static_cast<uint32_t>(raw));
  if (bits == 64) return std::bit_cast<double>(raw);
  const int exponent_bits = bits == 16 ? 5 : 7;
  const int mantissa_bits = bits == 16 ? 10 : 16;
  const int bias = (1 << (exponent_bits - 1)) - 1;
  const bool negative = (raw >> (bits - 1)) & 1;
  const int exponent = static_cast<int>((raw >> mantissa_bits) & ((1u << exponent_bits) - 1));
  const double mantissa = static_cast<double>(raw & ((uint64_t{1} << mantissa_bits) - 1));
  double value;
  if (exponent == (1 << exponent_bits) - 1) {
    value = mantissa == 0 ? HUGE_VAL : NAN;
  } else if (exponent == 0) {
    value = std::ldexp(mantissa, 1 - bias - mantissa_bits);
  } else {
    value = std::ldexp(mantissa + std::ldexp(1.0, mantissa_bits), exponent - bias - mantissa_bits);
  }
  return negative ? -value : value;
}

// The sample as a unit value: 0 to 1 for integers (signed ones shifted by half their range),
// the number itself for floating point.
double UnitValue(uint64_t raw, uint16_t bits, bool is_signed, bool is_float) {
  if (is_float) return FloatSample(raw, bits);
  const double max = std::ldexp(1.0, bits) - 1;
  if (is_signed) raw ^= uint64_t{1} << (bits - 1);
  return static_cast<double>(raw) / max;
}

void Put(uint8_t* out, size_t index, uint8_t bits, uint32_t value) {
  if (bits == 16) {
    out[2 * index] = static_cast<uint8_t>(value >> 8);
    out[2 * index + 1] = static_cast<uint8_t>(value);
  } else {
    out[index] = static_cast<uint8_t>(value);
  }
}

[[noreturn]] void NoPrint(const std::string& what) {
  throw RuntimeError(kInvalidPropertyValue,
                     "Invalid property value (no print picture for " + what + ")");
}

[[noreturn]] void InvalidPicture(const char* why) {
  throw RuntimeError(kInvalidPicture, std::string("Invalid picture (") + why + ")");
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t Get32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24);
}

// The CMYK channel (0 to 3) of an ink named as a process ink, in any case; -1 for other names.
int ProcessInk(std::string name) {
  static constexpr const char* kProcessInks[] = {"cyan", "magenta", "yellow", "black"};
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto* ink = std::find(std::begin(kProcessInks), std::end(kProcessInks), name);
  return ink == std::end(kProcessInks) ? -1 : static_cast<int>(ink - std::begin(kProcessInks));
}

// The CMYK channels of a page whose inks are process inks named one by one (InkNames), in any
// order and any number: each ink prints as itself, a process ink the page lacks stays bare. An
// ink of another name has no colour this program knows, and a page without names none at all:
// both are refused rather than printed in made-up colours.
std::vector<PrintRowConverter::Channel> ProcessInkChannels(const PageLayout& layout,
                                                           uint16_t colour_samples) {
  if (layout.ink_names.size() < colour_samples) {
    NoPrint(std::to_string(colour_samples) + " inks other than CMYK");
  }
  std::vector<PrintRowConverter::Channel> channels(4, {.source = -1, .white = 0});
  for (uint16_t ink = 0; ink < colour_samples; ++ink) {
    const int process = ProcessInk(layout.ink_names[ink]);
    if (process < 0) NoPrint("the ink '" + layout.ink_names[ink] + "', whose colour is unknown");
    if (channels[process].source >= 0) {
      NoPrint("two inks named '" + layout.ink_names[ink] + "'");
    }
    channels[process].source = ink;
  }
  return channels;
}

// A page of one ink prints as gray unless that ink is named as a coloured process ink.
bool ColouredSingleInk(const PageLayout& layout) {
  if (layout.ink_names.empty()) return false;
  const int process = ProcessInk(layout.ink_names[0]);
  return process >= 0 && process < 3;
}

}  // namespace

bool BitmapCarriesExactly(const PageLayout& layout) {
  if (layout.planes > 1 || layout.sample_format != SAMPLEFORMAT_UINT) return false;
  const uint16_t bits = layout.bits_per_sample;
  switch (layout.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
      return layout.samples_per_pixel == 1 && (bits == 1 || bits == 2 || bits == 4 || bits == 8);
    case PHOTOMETRIC_RGB:
    case PHOTOMETRIC_YCBCR:
      return layout.samples_per_pixel == 3 && bits == 8;
    default:
      return false;
  }
}

PrintRowConverter::PrintRowConverter(const PageLayout& layout, uint32_t width, uint32_t height)
    : bits_(layout.bits_per_sample),
      samples_(layout.samples_per_pixel),
      planar_(layout.planes > 1),
      sample_format_(layout.sample_format) {
  format_.width = width;
  format_.height = height;
  const bool is_float = sample_format_ == SAMPLEFORMAT_IEEEFP;
  if (is_float && bits_ != 16 && bits_ != 24 && bits_ != 32 && bits_ != 64) {
    NoPrint(std::to_string(bits_) + "-bit floating-point samples");
  }
  format_.bits_per_sample = !is_float && bits_ <= 8 ? 8 : 16;

  if (layout.photometric == PHOTOMETRIC_PALETTE) {
    format_.colours = RasterColours::kIndexed;
    const size_t n = size_t{1} << bits_;
    // Some writers store 8-bit palette values; the format wants 16-bit ones.
    const bool eight_bit = std::all_of(layout.colormap.begin(), layout.colormap.end(),
                                       [](uint16_t v) { return v < 256; });
    for (uint16_t v : layout.colormap) colormap_.push_back(eight_bit ? v * 257 : v);
    if (bits_ <= 8) {
      for (size_t i = 0; i < n; ++i) {
        format_.palette.push_back((colormap_[i] >> 8) << 16 | (colormap_[n + i] >> 8) << 8 |
                                  colormap_[2 * n + i] >> 8);
      }
      const bool packed = bits_ == 1 || bits_ == 2 || bits_ == 4 || bits_ == 8;
      kind_ = packed ? Kind::kCopy : Kind::kIndexUnpack;
      format_.bits_per_sample = packed ? static_cast<uint8_t>(bits_) : 8;
    } else {
      // An index has at most 8 bits in a printed page: larger palettes become their colours.
      kind_ = Kind::kIndexToRgb;
      format_.colours = RasterColours::kDevice;
      format_.samples_per_pixel = 3;
      format_.bits_per_sample = 16;
    }
    return;
  }

  const uint16_t colour_samples = static_cast<uint16_t>(samples_ - layout.extra_samples);
  const bool is_signed = sample_format_ == SAMPLEFORMAT_INT;
  switch (layout.photometric) {
    case PHOTOMETRIC_MINISWHITE:
    case PHOTOMETRIC_MINISBLACK:
      format_.min_is_white = layout.photometric == PHOTOMETRIC_MINISWHITE;
      channels_ = {{.source = 0, .white = format_.min_is_white ? 0.0 : 1.0}};
      break;
    case PHOTOMETRIC_RGB:
    case PHOTOMETRIC_YCBCR:  // decoded as RGB
      channels_ = {{.source = 0}, {.source = 1}, {.source = 2}};
      break;
    case PHOTOMETRIC_SEPARATED:
      if (colour_samples == 1 && !ColouredSingleInk(layout)) {  // its amount is the gray
        format_.min_is_white = true;
        channels_ = {{.source = 0, .white = 0}};
      } else if (layout.ink_set == INKSET_CMYK && colour_samples == 4) {
        channels_ = {{.source = 0, .white = 0},
                     {.source = 1, .white = 0},
                     {.source = 2, .white = 0},
                     {.source = 3, .white = 0}};
      } else {
        channels_ = ProcessInkChannels(layout, colour_samples);
      }
      break;
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB: {
      format_.colours = RasterColours::kLab;
      // Sample values 0 and the maximum of the printed a* and b*: 0 is exactly a neutral middle.
      const double high = format_.bits_per_sample == 8 ? 127 : 128 - 1.0 / 256;
      format_.lab_range = {-128, high, -128, high};
      Channel l{.source = 0, .scale = is_float ? 1.0 : 100.0, .high = 100, .white = 100};
      Channel a{.source = 1, .low = -128, .high = high, .white = 0};
      if (layout.photometric == PHOTOMETRIC_ITULAB) {
        // The default ranges of ITU Lab: a* -85 to 85, b* -75 to 125 over the sample values.
        a.scale = 170;
        a.offset = -85;
      } else if (!is_float) {
        // a* and b* in steps of 1/2^(bits-8): a unit value covers 2^bits - 1 such steps.
        a.scale = (std::ldexp(1.0, bits_) - 1) / std::ldexp(1.0, bits_ - 8);
        a.offset = -128;
        signed_ab_ = layout.photometric == PHOTOMETRIC_CIELAB && !is_signed;
      }
      Channel b = a;
      b.source = 2;
      if (layout.photometric == PHOTOMETRIC_ITULAB) {
        b.scale = 200;
        b.offset = -75;
      }
      if (colour_samples < 3) a.source = b.source = -1;  // L* alone: neutral
      channels_ = {l, a, b};
      break;
    }
    default:
      NoPrint("this colour space");
  }
  format_.samples_per_pixel = static_cast<uint8_t>(channels_.size());
  if (layout.extra_samples > 0 && (layout.first_extra_kind == EXTRASAMPLE_ASSOCALPHA ||
                                   layout.first_extra_kind == EXTRASAMPLE_UNASSALPHA)) {
    alpha_ = colour_samples;
    premultiplied_ = layout.first_extra_kind == EXTRASAMPLE_ASSOCALPHA;
  }
  bool in_order = samples_ == channels_.size();
  for (size_t c = 0; c < channels_.size(); ++c)
    in_order = in_order && channels_[c].source == int(c);
  const bool direct = !planar_ && alpha_ < 0 && sample_format_ == SAMPLEFORMAT_UINT && in_order &&
                      bits_ == format_.bits_per_sample && format_.colours == RasterColours::kDevice;
  if (direct) kind_ = bits_ == 8 ? Kind::kCopy : Kind::kSwap16;
}

void PrintRowConverter::Convert(std::span<const uint8_t* const> planes, uint8_t* out) const {
  const uint32_t width = format_.width;
  switch (kind_) {
    case Kind::kCopy:
      memcpy(out, planes[0], format_.RowBytes());
      return;
    case Kind::kSwap16: {
      const size_t n = size_t{width} * samples_;
      for (size_t i = 0; i < n; ++i)
        Put(out, i, 16, static_cast<uint32_t>(RawSample(planes[0], i, 16)));
      return;
    }
    case Kind::kIndexUnpack:
      for (uint32_t x = 0; x < width; ++x)
        out[x] = static_cast<uint8_t>(RawSample(planes[0], x, bits_));
      return;
    case Kind::kIndexToRgb: {
      const size_t n = size_t{1} << bits_;
      for (uint32_t x = 0; x < width; ++x) {
        const size_t index = RawSample(planes[0], x, bits_);
        for (size_t c = 0; c < 3; ++c) Put(out, size_t{x} * 3 + c, 16, colormap_[c * n + index]);
      }
      return;
    }
    case Kind::kSamples:
      break;
  }
  const bool is_float = sample_format_ == SAMPLEFORMAT_IEEEFP;
  const bool is_signed = sample_format_ == SAMPLEFORMAT_INT;
  const double out_max = format_.bits_per_sample == 16 ? 65535 : 255;
  const auto unit = [&](uint32_t x, int sample, bool as_signed) {
    const uint64_t raw = planar_ ? RawSample(planes[sample], x, bits_)
                                 : RawSample(planes[0], size_t{x} * samples_ + sample, bits_);
    return UnitValue(raw, bits_, as_signed, is_float);
  };
  for (uint32_t x = 0; x < width; ++x) {
    double alpha = 1;
    if (alpha_ >= 0) alpha = std::clamp(unit(x, alpha_, is_signed), 0.0, 1.0);
    if (std::isnan(alpha)) alpha = 0;
    for (size_t c = 0; c < channels_.size(); ++c) {
      const Channel& channel = channels_[c];
      double value = channel.white;
      if (channel.source >= 0) {
        const bool as_signed = is_signed || (signed_ab_ && c > 0);
        value = unit(x, channel.source, as_signed) * channel.scale + channel.offset;
        if (alpha_ >= 0) {
          value = premultiplied_ ? value + channel.white * (1 - alpha)
                                 : value * alpha + channel.white * (1 - alpha);
        }
      }
      double level = (value - channel.low) / (channel.high - channel.low);
      if (std::isnan(level)) level = 0;
      level = std::clamp(level, 0.0, 1.0);
      Put(out, size_t{x} * channels_.size() + c, format_.bits_per_sample,
          static_cast<uint32_t>(std::lround(level * out_max)));
    }
  }
}

PrintPictureWriter::PrintPictureWriter(platform::RawFile& file, const RasterFormat& format)
    : file_(file), format_(format) {
  std::vector<uint8_t> header(kMagic, kMagic + sizeof kMagic);
  Put32(header, format.width);
  Put32(header, format.height);
  header.push_back(format.bits_per_sample);
  header.push_back(format.samples_per_pixel);
  header.push_back(static_cast<uint8_t>(format.colours));
  header.push_back(format.min_is_white ? 1 : 0);
  for (const double v : format.lab_range) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    Put32(header, static_cast<uint32_t>(bits));
    Put32(header, static_cast<uint32_t>(bits >> 32));
  }
  Put32(header, static_cast<uint32_t>(format.palette.size()));
  for (const uint32_t colour : format.palette) Put32(header, colour);
  file_.WriteAt(0, header);
  offset_ = header.size();
  buffer_.reserve(kBufferBytes);
}

void PrintPictureWriter::WriteRow(std::span<const uint8_t> row) {
  if (buffer_.size() + row.size() > kBufferBytes) Flush();
  buffer_.insert(buffer_.end(), row.begin(), row.end());
  ++rows_;
}

void PrintPictureWriter::Flush() {
  if (buffer_.empty()) return;
  file_.WriteAt(offset_, buffer_);
  offset_ += buffer_.size();
  buffer_.clear();
}

void PrintPictureWriter::Finish() {
  Flush();
  if (rows_ != format_.height) {
    throw RuntimeError(kInputPastEndOfFile, "picture ended after " + std::to_string(rows_) +
                                                " of " + std::to_string(format_.height) + " rows");
  }
}

std::optional<RasterFormat> ReadPrintPictureHeader(const platform::RawFile& file,
                                                   uint64_t& pixel_offset) {
  uint8_t header[kHeaderBytes];
  if (file.ReadAt(0, header) != sizeof header || memcmp(header, kMagic, sizeof kMagic) != 0) {
    return std::nullopt;
  }
  RasterFormat format;
  format.width = Get32(header + 8);
  format.height = Get32(header + 12);
  format.bits_per_sample = header[16];
  format.samples_per_pixel = header[17];
  format.colours = static_cast<RasterColours>(header[18]);
  format.min_is_white = header[19] != 0;
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t* p = header + 20 + 8 * i;
    format.lab_range[i] = std::bit_cast<double>(Get32(p) | uint64_t{Get32(p + 4)} << 32);
  }
  const uint32_t colours = Get32(header + kHeaderBytes - 4);
  if (format.width == 0 || format.height == 0 || colours > 256 || header[18] > 2) {
    InvalidPicture("bad print picture header");
  }
  std::vector<uint8_t> table(size_t{colours} * 4);
  if (file.ReadAt(kHeaderBytes, table) != table.size()) InvalidPicture("short palette");
  for (uint32_t i = 0; i < colours; ++i) format.palette.push_back(Get32(table.data() + 4 * i));
  pixel_offset = kHeaderBytes + table.size();
  if (pixel_offset + uint64_t{format.RowBytes()} * format.height > file.Size()) {
    InvalidPicture("truncated pixel data");
  }
  return format;
}

}  // namespace plotspool
