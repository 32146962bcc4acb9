// The picture box: holds the print bitmap loaded from a file and hands it out row by row in
// constant memory. Reads uncompressed bitmaps of 1, 8 (palette) and 24 bits, either row order,
// and the print-picture files that carry the layouts a bitmap cannot (imaging/print_picture.h).
#ifndef PLOTSPOOL_IMAGING_PICTURE_BOX_H_
#define PLOTSPOOL_IMAGING_PICTURE_BOX_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/raster_rows.h"
#include "platform/raw_file.h"

namespace plotspool {

class PictureBox : public RasterRowSource {
 public:
  PictureBox();
  ~PictureBox() override;
  PictureBox(const PictureBox&) = delete;
  PictureBox& operator=(const PictureBox&) = delete;

  // Loads the bitmap or print picture at `bmp_path` (no symbolic link followed), replacing any
  // picture held. Checks the headers and that the file holds every row. Throws RuntimeError: the
  // file errors (53, 70, 75) or 481 "Invalid picture"; the box is then empty.
  void LoadPicture(const std::string& bmp_path);
  // Drops the picture and closes its file.
  void Clear();
  bool HasPicture() const { return file_ != nullptr; }

  // RasterRowSource. Without a picture the format is 0 x 0 and NextRow() returns false.
  // 1-bit pictures in black and white stay 1 bit (min_is_white from the palette), gray
  // palettes become 8-bit gray, everything else 24-bit RGB. A print picture keeps its format.
  const RasterFormat& format() const override { return format_; }
  bool Rewind() override;
  bool NextRow(std::span<uint8_t> row) override;

 private:
  bool FillChunk();

  std::unique_ptr<platform::RawFile> file_;
  RasterFormat format_;
  uint16_t file_bits_ = 0;
  bool bottom_up_ = true;
  bool expand_palette_ = false;  // write palette colours as RGB instead of copying indexes
  std::vector<uint32_t> palette_;
  uint64_t pixel_offset_ = 0;
  size_t stride_ = 0;
  uint32_t next_row_ = 0;
  std::vector<uint8_t> chunk_;  // several file rows, read at once
  uint32_t chunk_first_ = 0;    // first top-down row held in chunk_
  uint32_t chunk_rows_ = 0;
};

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_PICTURE_BOX_H_
