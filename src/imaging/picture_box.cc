#include "imaging/picture_box.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/error.h"
#include "imaging/print_picture.h"

namespace plotspool {
namespace {

constexpr int kInvalidPicture = 481;
constexpr size_t kChunkBytes = size_t{1} << 20;

[[noreturn]] void InvalidPicture(const char* why) {
  throw RuntimeError(kInvalidPicture, std::string("Invalid picture (") + why + ")");
}

uint32_t Get16(const uint8_t* p) { return p[0] | (p[1] << 8); }
uint32_t Get32(const uint8_t* p) { return Get16(p) | (Get16(p + 2) << 16); }

}  // namespace

PictureBox::PictureBox() = default;
PictureBox::~PictureBox() = default;

void PictureBox::Clear() {
  file_.reset();
  format_ = RasterFormat{};
  palette_.clear();
  chunk_.clear();
  chunk_.shrink_to_fit();
  next_row_ = chunk_rows_ = 0;
}

void PictureBox::LoadPicture(const std::string& bmp_path) {
  Clear();
  auto file = std::make_unique<platform::RawFile>(platform::RawFile::OpenForReading(bmp_path));
  uint64_t print_offset = 0;
  if (std::optional<RasterFormat> print = ReadPrintPictureHeader(*file, print_offset)) {
    // Already in the printed layout: rows are handed out as they are stored.
    format_ = std::move(*print);
    file_bits_ = 0;
    expand_palette_ = false;
    bottom_up_ = false;
    pixel_offset_ = print_offset;
    stride_ = format_.RowBytes();
    file_ = std::move(file);
    next_row_ = 0;
    return;
  }
  uint8_t header[54];
  if (file->ReadAt(0, header) != sizeof header) InvalidPicture("short header");
  if (header[0] != 'B' || header[1] != 'M') InvalidPicture("no bitmap");
  const uint32_t offset = Get32(header + 10);
  const uint32_t info_size = Get32(header + 14);
  const int32_t width = static_cast<int32_t>(Get32(header + 18));
  const int32_t height = static_cast<int32_t>(Get32(header + 22));
  const uint32_t planes = Get16(header + 26);
  const uint32_t bits = Get16(header + 28);
  const uint32_t compression = Get32(header + 30);
  uint32_t colours = Get32(header + 46);
  if (info_size < 40 || info_size > 1024 || planes != 1 || compression != 0) {
    InvalidPicture("unsupported header");
  }
  if (bits != 1 && bits != 8 && bits != 24) InvalidPicture("unsupported bit depth");
  if (width <= 0 || height == 0 || height == std::numeric_limits<int32_t>::min()) {
    InvalidPicture("bad size");
  }
  const uint32_t rows = static_cast<uint32_t>(height < 0 ? -height : height);
  if (bits <= 8) {
    if (colours == 0) colours = 1u << bits;
    if (colours > (1u << bits)) InvalidPicture("bad palette");
    std::vector<uint8_t> table(size_t{colours} * 4);
    if (file->ReadAt(14 + info_size, table) != table.size()) InvalidPicture("short palette");
    for (uint32_t i = 0; i < colours; ++i) {
      palette_.push_back((table[4 * i + 2] << 16) | (table[4 * i + 1] << 8) | table[4 * i]);
    }
    palette_.resize(size_t{1} << bits, 0);  // indexes past the table are black
  }
  const uint64_t stride = ((uint64_t{static_cast<uint32_t>(width)} * bits + 31) / 32) * 4;
  if (offset < 14 + info_size || offset + stride * rows > file->Size()) {
    InvalidPicture("truncated pixel data");
  }

  format_ = RasterFormat{};
  format_.width = static_cast<uint32_t>(width);
  format_.height = rows;
  expand_palette_ = false;
  if (bits == 24) {
    format_.bits_per_sample = 8;
    format_.samples_per_pixel = 3;
  } else {
    const auto is_gray = [&](size_t i, uint32_t level) { return palette_[i] == level * 0x010101u; };
    bool ramp = true, inverted_ramp = true;
    const size_t n = palette_.size();
    for (size_t i = 0; i < n; ++i) {
      const uint32_t level = static_cast<uint32_t>(i * 255 / (n - 1));
      ramp = ramp && is_gray(i, level);
      inverted_ramp = inverted_ramp && is_gray(i, 255 - level);
    }
    if (ramp || inverted_ramp) {
      format_.bits_per_sample = static_cast<uint8_t>(bits);
      format_.samples_per_pixel = 1;
      format_.min_is_white = inverted_ramp;
    } else {
      expand_palette_ = true;
      format_.bits_per_sample = 8;
      format_.samples_per_pixel = 3;
    }
  }
  file_bits_ = static_cast<uint16_t>(bits);
  bottom_up_ = height > 0;
  pixel_offset_ = offset;
  stride_ = static_cast<size_t>(stride);
  file_ = std::move(file);
  next_row_ = 0;
}

bool PictureBox::Rewind() {
  if (file_ == nullptr) return false;
  next_row_ = 0;
  return true;
}

bool PictureBox::FillChunk() {
  const uint32_t rows = static_cast<uint32_t>(
      std::clamp<size_t>(kChunkBytes / stride_, 1, format_.height - next_row_));
  chunk_.resize(size_t{rows} * stride_);
  // Bottom-up files keep the rows next_row_ .. next_row_ + rows - 1 in reverse order, still
  // next to each other, so one read serves them all.
  const uint32_t first_file_row = bottom_up_ ? format_.height - next_row_ - rows : next_row_;
  const uint64_t at = pixel_offset_ + uint64_t{first_file_row} * stride_;
  try {
    if (file_->ReadAt(at, chunk_) != chunk_.size()) return false;
  } catch (const RuntimeError&) {
    return false;
  }
  chunk_first_ = next_row_;
  chunk_rows_ = rows;
  return true;
}

bool PictureBox::NextRow(std::span<uint8_t> row) {
  if (file_ == nullptr || next_row_ >= format_.height || row.size() < format_.RowBytes()) {
    return false;
  }
  if (chunk_rows_ == 0 || next_row_ < chunk_first_ || next_row_ >= chunk_first_ + chunk_rows_) {
    if (!FillChunk()) return false;
  }
  const uint32_t index = next_row_ - chunk_first_;
  const uint8_t* in =
      chunk_.data() + size_t{bottom_up_ ? chunk_rows_ - 1 - index : index} * stride_;
  ++next_row_;
  uint8_t* out = row.data();
  const uint32_t width = format_.width;
  if (file_bits_ == 24) {
    for (uint32_t x = 0; x < width; ++x, in += 3, out += 3) {
      out[0] = in[2];
      out[1] = in[1];
      out[2] = in[0];
    }
  } else if (!expand_palette_) {
    memcpy(out, in, format_.RowBytes());
    // The file's padding bits past the width are not ours to pass on.
    if (file_bits_ == 1 && width % 8 != 0) {
      out[format_.RowBytes() - 1] &= static_cast<uint8_t>(0xFF << (8 - width % 8));
    }
  } else {
    for (uint32_t x = 0; x < width; ++x, out += 3) {
      const uint32_t index = file_bits_ == 8 ? in[x] : (in[x / 8] >> (7 - x % 8)) & 1;
      const uint32_t colour = palette_[index];
      out[0] = static_cast<uint8_t>(colour >> 16);
      out[1] = static_cast<uint8_t>(colour >> 8);
      out[2] = static_cast<uint8_t>(colour);
    }
  }
  return true;
}

}  // namespace plotspool
