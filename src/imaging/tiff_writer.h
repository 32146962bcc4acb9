// Writing TIFF pages: the (possibly turned) first page from decoded pixels with the source
// page's compression and tags, and the further pages of the source copied as they are.
#ifndef PLOTSPOOL_IMAGING_TIFF_WRITER_H_
#define PLOTSPOOL_IMAGING_TIFF_WRITER_H_

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

// Appends every directory after the first of `source` to `out`, compressed data copied
// unchanged (JPEG pages are decoded and encoded again). Leaves `source` on an unspecified
// directory. Throws RuntimeError on a page that cannot be read or written, and 380 for an
// old-style JPEG page, which cannot be written back.
void CopyFurtherPages(TiffFile& source, TiffFile& out);

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_TIFF_WRITER_H_
