// Writing TIFF pages: the (possibly turned) first page from decoded pixels with the source
// page's compression and tags, and the further pages of the source copied as they are.
#ifndef PLOTSPOOL_IMAGING_TIFF_WRITER_H_
#define PLOTSPOOL_IMAGING_TIFF_WRITER_H_

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

// Appends every directory after the first of `source` to `out`, compressed data copied
// unchanged (JPEG pages are decoded and encoded again, old-style JPEG ones written as the gray or
// RGB they decode to). Leaves `source` on an unspecified directory. Throws RuntimeError on a page
// that cannot be read or written, 380 for an old-style JPEG page libtiff cannot decode.
void CopyFurtherPages(TiffFile& source, TiffFile& out);

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_TIFF_WRITER_H_
