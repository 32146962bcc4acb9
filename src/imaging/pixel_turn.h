// Quarter turns of packed pictures (1 to 64 bits per pixel, rows MSB first), built while the
// source rows stream in, so the turned picture is the only full copy ever held.
#ifndef PLOTSPOOL_IMAGING_PIXEL_TURN_H_
#define PLOTSPOOL_IMAGING_PIXEL_TURN_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/large_buffer.h"

namespace plotspool {

struct PixelBuffer {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t pixel_bits = 1;
  size_t row_bytes = 0;  // packed, no padding
  platform::LargeBuffer data;

  uint8_t* Row(uint32_t y) { return data.data() + size_t{y} * row_bytes; }
  const uint8_t* Row(uint32_t y) const { return data.data() + size_t{y} * row_bytes; }
};

// Yields the next source row top-down; throws to abort the turn.
using RowSupplier = std::function<const uint8_t*()>;

// Reads all `height` rows of a `width` x `height` picture from `next_row` and returns it turned
// `quarter_turns` (0 to 3) times clockwise. Padding bits at the end of each row are zero.
PixelBuffer DecodeTurned(uint32_t width, uint32_t height, uint32_t pixel_bits, int quarter_turns,
                         const RowSupplier& next_row);

// Like DecodeTurned, into `out`, whose memory is reused when it is large enough: a picture
// turned band by band pays for fresh memory once, not for every band.
void DecodeTurnedInto(uint32_t width, uint32_t height, uint32_t pixel_bits, int quarter_turns,
                      const RowSupplier& next_row, PixelBuffer& out);

// The picture a quarter turn clockwise of a `width` x `height` one, contents undefined.
PixelBuffer AllocateTurnedRight(uint32_t width, uint32_t height, uint32_t pixel_bits);

// Turns source rows first_row .. end_row - 1 (read from `next_row` in that order) of a `width` x
// `height` picture of whole-byte pixels a quarter turn clockwise into `out`, allocated by
// AllocateTurnedRight. Disjoint row ranges write disjoint bytes of `out`, so two threads may
// each turn one.
void TurnRowsRight(uint32_t width, uint32_t height, uint32_t pixel_bits, uint32_t first_row,
                   uint32_t end_row, const RowSupplier& next_row, PixelBuffer& out);

// Transposes an 8 x 8 bit block: byte r of `rows` (most significant first) is row r, bit c
// (most significant first) is column c. Exposed for its test.
uint64_t TransposeBits8x8(uint64_t rows);

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_PIXEL_TURN_H_
