// Writing TIFF pages: the (possibly turned) first page from decoded pixels with the source
// page's compression and tags, and the further pages of the source copied as they are.
#ifndef PLOTSPOOL_IMAGING_TIFF_WRITER_H_
#define PLOTSPOOL_IMAGING_TIFF_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "imaging/pixel_turn.h"
#include "imaging/tiff_file.h"
#include "imaging/tiff_page.h"

namespace plotspool {

// Appends one page holding `planes` (one picture, or one per sample plane of a page with
// separate planes) to `out`, with the compression, bit depth, photometric interpretation and
// other tags of the current directory of `source` (laid out as `layout`). `turned`: the pixels
// are a quarter turn of the source, so X and Y resolution are swapped. Throws RuntimeError when
// libtiff cannot encode or write.
void WritePixelPage(TiffFile& source, const PageLayout& layout,
                    const std::vector<PixelBuffer>& planes, bool turned, TiffFile& out);

// A page's pixels handed over one band of rows at a time, so that a page need never be whole in
// memory. `band(plane, first_row)` returns rows first_row .. first_row + band_rows - 1 (fewer at
// the bottom) of that plane, valid until the next call; it is asked for bands top-down, plane
// by plane. `band_rows` is a multiple of the rows per output strip (OutputRowsPerStrip) or of
// the tile length, unless it covers the whole height.
struct PageBands {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t pixel_bits = 1;
  uint16_t planes = 1;
  uint32_t band_rows = 0;
  std::function<const PixelBuffer&(uint16_t plane, uint32_t first_row)> band;
};

// Rows per strip of a written page `height` rows of `row_bytes` high, laid out as `layout`.
uint32_t OutputRowsPerStrip(const PageLayout& layout, uint32_t height, size_t row_bytes);

// Like WritePixelPage, from pixels handed over band by band.
void WritePixelBands(TiffFile& source, const PageLayout& layout, const PageBands& bands,
                     bool turned, TiffFile& out);

// Appends every directory after the first of `source` to `out`, compressed data copied
// unchanged (JPEG pages are decoded and encoded again). Leaves `source` on an unspecified
// directory. Throws RuntimeError on a page that cannot be read or written, and 380 for an
// old-style JPEG page, which cannot be written back.
void CopyFurtherPages(TiffFile& source, TiffFile& out);

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_TIFF_WRITER_H_
