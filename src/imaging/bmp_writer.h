// Streaming writer of an uncompressed Windows bitmap: rows are handed over top-down as they are
// decoded and land bottom-up in the file, as the format wants, without a full copy in memory.
#ifndef PLOTSPOOL_IMAGING_BMP_WRITER_H_
#define PLOTSPOOL_IMAGING_BMP_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/raw_file.h"

namespace plotspool {

struct BmpFormat {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bits = 24;             // 1, 8 (both with palette) or 24 (blue, green, red)
  std::vector<uint32_t> palette;  // 0x00RRGGBB entries for 1 and 8 bits
  double x_dpi = 0;
  double y_dpi = 0;

  size_t PackedRowBytes() const { return (size_t{width} * bits + 7) / 8; }
  size_t Stride() const { return (PackedRowBytes() + 3) & ~size_t{3}; }
};

class BmpWriter {
 public:
  // Writes the headers into `file` (which must outlive the writer). Throws RuntimeError 380 when
  // the picture is too large for the format's 32-bit fields.
  BmpWriter(platform::RawFile& file, const BmpFormat& format);
  BmpWriter(const BmpWriter&) = delete;
  BmpWriter& operator=(const BmpWriter&) = delete;

  // Next row, top-down: PackedRowBytes() bytes in the file's pixel layout. Throws RuntimeError
  // on a write failure.
  void WriteRow(std::span<const uint8_t> row);
  // Writes what is buffered; throws when fewer rows than the height were written.
  void Finish();

 private:
  void Flush();

  platform::RawFile& file_;
  BmpFormat format_;
  uint64_t pixel_offset_ = 0;
  size_t stride_ = 0;
  uint32_t chunk_rows_ = 0;  // capacity of chunk_ in rows
  uint32_t pending_ = 0;     // rows in chunk_
  uint32_t rows_done_ = 0;   // rows handed over so far
  std::unique_ptr<uint8_t[]> chunk_;
};

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_BMP_WRITER_H_
