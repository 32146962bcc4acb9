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

// Starts a `width` x `height` page on `out` for the page `layout` of `source` (its current
// directory): the size, the source page's tags (X and Y resolution swapped when `turned`), the
// strip or tile layout, and the encoding it is written with. That is the source's, except for
// old-style JPEG, written as the gray or RGB it decodes to (LZW, horizontal predictor), and SGI
// log pages take their encoded values (see PageLayout::sgilog_format). The pixels are then
// written with libtiff's encoded strip or tile calls, in the layout's decoded row format.
void BeginPixelPage(TiffFile& source, const PageLayout& layout, uint32_t width, uint32_t height,
                    bool turned, TiffFile& out);
// Completes the page begun with BeginPixelPage once every strip or tile is written. Throws
// RuntimeError when libtiff cannot write it.
void EndPixelPage(const PageLayout& layout, TiffFile& out);

// Appends one page holding `planes` (one picture, or one per sample plane of a page with
// separate planes) to `out`, begun and ended as above for the current directory of `source`
// (laid out as `layout`). `turned`: the pixels are a quarter turn of the source. Throws
// RuntimeError when libtiff cannot encode or write.
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

// Whether the page is written in tiles like its source: pages decoded through the RGBA reader
// are written in strips, whatever tiles their old encoding needed.
bool WritesTiled(const PageLayout& layout);

// Rows per strip of a written page `height` rows of `row_bytes` high, laid out as `layout`.
uint32_t OutputRowsPerStrip(const PageLayout& layout, uint32_t height, size_t row_bytes);

// Like WritePixelPage, from pixels handed over band by band.
void WritePixelBands(TiffFile& source, const PageLayout& layout, const PageBands& bands,
                     bool turned, TiffFile& out);

// Appends every directory after the first of `source` to `out`, compressed data copied
// unchanged (JPEG pages are decoded and encoded again, old-style JPEG ones written as the gray or
// RGB they decode to). Leaves `source` on an unspecified directory. Throws RuntimeError on a page
// that cannot be read or written, 380 for an old-style JPEG page libtiff cannot decode.
void CopyFurtherPages(TiffFile& source, TiffFile& out);

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_TIFF_WRITER_H_
