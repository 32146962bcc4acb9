#include "imaging/bmp_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "base/error.h"

namespace plotspool {
namespace {

constexpr size_t kChunkBytes = size_t{1} << 20;

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

uint32_t PixelsPerMetre(double dpi) {
  if (!(dpi > 0) || dpi > 1e6) return 0;
  return static_cast<uint32_t>(std::lround(dpi / 0.0254));
}

}  // namespace

BmpWriter::BmpWriter(platform::RawFile& file, const BmpFormat& format)
    : file_(file), format_(format) {
  stride_ = format.Stride();
  const uint32_t colours = static_cast<uint32_t>(format.palette.size());
  pixel_offset_ = 14 + 40 + uint64_t{4} * colours;
  const uint64_t image_bytes = uint64_t{stride_} * format.height;
  if (format.width == 0 || format.height == 0 ||
      format.width > uint32_t{std::numeric_limits<int32_t>::max()} ||
      format.height > uint32_t{std::numeric_limits<int32_t>::max()} ||
      pixel_offset_ + image_bytes > std::numeric_limits<uint32_t>::max()) {
    throw RuntimeError(kInvalidPropertyValue, "Invalid property value (picture too large)");
  }
  std::vector<uint8_t> header(pixel_offset_, 0);
  uint8_t* h = header.data();
  h[0] = 'B';
  h[1] = 'M';
  Put32(h + 2, static_cast<uint32_t>(pixel_offset_ + image_bytes));
  Put32(h + 10, static_cast<uint32_t>(pixel_offset_));
  Put32(h + 14, 40);
  Put32(h + 18, format.width);
  Put32(h + 22, format.height);  // positive: rows stored bottom-up
  Put16(h + 26, 1);
  Put16(h + 28, format.bits);
  Put32(h + 30, 0);  // no compression
  Put32(h + 34, static_cast<uint32_t>(image_bytes));
  Put32(h + 38, PixelsPerMetre(format.x_dpi));
  Put32(h + 42, PixelsPerMetre(format.y_dpi));
  Put32(h + 46, colours);
  Put32(h + 50, 0);
  for (uint32_t i = 0; i < colours; ++i) Put32(h + 54 + 4 * i, format.palette[i] & 0xFFFFFF);
  file_.WriteAt(0, header);

  chunk_rows_ = static_cast<uint32_t>(std::clamp<size_t>(kChunkBytes / stride_, 1, format.height));
  chunk_ = std::make_unique<uint8_t[]>(size_t{chunk_rows_} * stride_);  // zeroed: row padding
}

void BmpWriter::WriteRow(std::span<const uint8_t> row) {
  if (rows_done_ >= format_.height) throw RuntimeError(kInvalidProcedureCall);
  // Fill the chunk from its end, so that it holds its rows bottom-up like the file.
  uint8_t* slot = chunk_.get() + size_t{chunk_rows_ - 1 - pending_} * stride_;
  memcpy(slot, row.data(), std::min(row.size(), format_.PackedRowBytes()));
  ++pending_;
  ++rows_done_;
  if (pending_ == chunk_rows_) Flush();
}

void BmpWriter::Flush() {
  if (pending_ == 0) return;
  // The chunk's top row is the last one handed over; it sits lowest in the file's order.
  const uint64_t first_file_row = format_.height - rows_done_;
  const uint8_t* start = chunk_.get() + size_t{chunk_rows_ - pending_} * stride_;
  file_.WriteAt(pixel_offset_ + first_file_row * stride_, {start, size_t{pending_} * stride_});
  pending_ = 0;
}

void BmpWriter::Finish() {
  Flush();
  if (rows_done_ != format_.height) throw RuntimeError(kInvalidProcedureCall);
}

}  // namespace plotspool
