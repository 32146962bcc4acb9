// A one-page PDF holding one picture, written as a stream: the picture's rows are pulled one at a
// time, compressed and handed on in chunks, so memory stays the same whatever the picture's size.
// No operating-system calls: the bytes go wherever the sink puts them.
#ifndef PLOTSPOOL_PLATFORM_POSIX_PDF_PAGE_WRITER_H_
#define PLOTSPOOL_PLATFORM_POSIX_PDF_PAGE_WRITER_H_

#include <cstdint>
#include <functional>
#include <span>

#include "platform/raster_rows.h"

namespace plotspool::platform {

// Sizes in points (1/72 inch); the picture's place is measured from the page's top left corner.
struct PdfPage {
  double width_pt = 0;
  double height_pt = 0;
  double picture_left_pt = 0;
  double picture_top_pt = 0;
  double picture_width_pt = 0;
  double picture_height_pt = 0;
};

// Receives the document in order, in chunks that are never empty. May throw to abort the write.
using PdfByteSink = std::function<void(std::span<const uint8_t>)>;

// Rewinds `picture` and writes the page with the picture scaled into its rectangle, Flate
// compressed at `zlib_level`. Throws RuntimeError 380 for a picture format it cannot carry
// (see RasterFormat: device gray of 1 to 16 bits, RGB, CMYK and Lab of 8 or 16 bits, indexed of
// 1 to 8 bits are carried) or an empty page or picture, 62 when the
// picture cannot be rewound or ends early; whatever the sink throws passes through. After a
// throw the sink has received a partial document that must be discarded.
void WritePdfPage(const PdfPage& page, RasterRowSource& picture, const PdfByteSink& sink,
                  int zlib_level = 1);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_POSIX_PDF_PAGE_WRITER_H_
