// TIFF LZW decoding of one whole strip, for the strips nearly every writer makes. libtiff walks
// each code's string back through its table a byte at a time; here a code is a copy of the
// bytes it stood for when it was made, which the strip's own output still holds, so the long
// strings that blank paper turns into cost one memcpy each.
#ifndef PLOTSPOOL_IMAGING_LZW_DECODER_H_
#define PLOTSPOOL_IMAGING_LZW_DECODER_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace plotspool {

// Decodes `in` (codes of 9 to 12 bits, most significant bit first, opening with ClearCode, the
// width growing one code early) into exactly out.size() bytes; codes after those are not read.
// Returns false, `out` then holding anything, for every stream it does not take: old-style
// codes, a code the table does not hold, a full table, an end before `out` is full. The caller
// then decodes the strip with libtiff, so that such files keep libtiff's outcome and message.
bool DecodeLzwStrip(std::span<const uint8_t> in, std::span<uint8_t> out);

// Undoes horizontal differencing (TIFF predictor 2) of 8-bit samples `stride` bytes apart, in
// place, each of `rows` rows of `row_bytes` bytes on its own. Unchanged pixels (eight zero
// differences at a time) are filled by copying instead of adding.
void UndoHorizontalDifferencing(uint8_t* data, size_t rows, size_t row_bytes, size_t stride);

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_LZW_DECODER_H_
