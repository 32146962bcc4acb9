#include "imaging/pixel_turn.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace plotspool {
namespace {

size_t RowBytes(uint32_t width, uint32_t pixel_bits) {
  return (size_t{width} * pixel_bits + 7) / 8;
}

PixelBuffer Allocate(uint32_t width, uint32_t height, uint32_t pixel_bits) {
  PixelBuffer buffer;
  buffer.width = width;
  buffer.height = height;
  buffer.pixel_bits = pixel_bits;
  buffer.row_bytes = RowBytes(width, pixel_bits);
  buffer.data = platform::LargeBuffer(buffer.row_bytes * height);
  return buffer;
}

uint64_t GetPixel(const uint8_t* row, uint32_t x, uint32_t bits) {
  if (bits % 8 == 0) {
    uint64_t value = 0;
    memcpy(&value, row + size_t{x} * (bits / 8), bits / 8);
    return value;
  }
  size_t bit = size_t{x} * bits;
  if (8 % bits == 0) return (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
  // Pixels that straddle bytes (12 bits, 3 x 12 bits): bit by bit, most significant first.
  uint64_t value = 0;
  for (uint32_t i = 0; i < bits; ++i, ++bit)
    value = value << 1 | ((row[bit / 8] >> (7 - bit % 8)) & 1);
  return value;
}

void SetPixel(uint8_t* row, uint32_t x, uint32_t bits, uint64_t value) {
  if (bits % 8 == 0) {
    memcpy(row + size_t{x} * (bits / 8), &value, bits / 8);
    return;
  }
  if (8 % bits != 0) {
    size_t bit = size_t{x} * bits;
    for (uint32_t i = 0; i < bits; ++i, ++bit) {
      const uint8_t mask = static_cast<uint8_t>(0x80u >> (bit % 8));
      if ((value >> (bits - 1 - i)) & 1) {
        row[bit / 8] |= mask;
      } else {
        row[bit / 8] &= static_cast<uint8_t>(~mask);
      }
    }
    return;
  }
  const size_t bit = size_t{x} * bits;
  const int shift = static_cast<int>(8 - bits - bit % 8);
  const uint8_t mask = static_cast<uint8_t>(((1u << bits) - 1) << shift);
  row[bit / 8] = static_cast<uint8_t>((row[bit / 8] & ~mask) | ((value << shift) & mask));
}

// One quarter turn of a bilevel picture: 64 source rows at a time become 8 bytes of every
// destination row, each 8 x 8 bit block transposed in a register. Source rows are grouped so
// that each group fills whole destination bytes; this keeps writes sequential enough to be fast.
void TurnBilevelRight(uint32_t width, uint32_t height, const RowSupplier& next_row,
                      PixelBuffer& out) {
  const size_t src_bytes = RowBytes(width, 1);
  constexpr uint32_t kGroup = 64;
  std::vector<uint8_t> slots(kGroup * src_bytes, 0);
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t column = height - 1 - y;  // destination column of source row y
    const uint32_t slot = column % kGroup;
    memcpy(slots.data() + slot * src_bytes, next_row(), src_bytes);
    if (slot != 0) continue;
    const size_t first_byte = size_t{column / kGroup} * 8;
    const size_t n = std::min<size_t>(8, out.row_bytes - first_byte);
    for (size_t bx = 0; bx < src_bytes; ++bx) {
      uint8_t block[8][8];  // [destination row in this byte column][destination byte]
      for (int b = 0; b < 8; ++b) {
        uint64_t rows = 0;
        for (int k = 0; k < 8; ++k) {
          rows = (rows << 8) | slots[(b * 8 + k) * src_bytes + bx];
        }
        const uint64_t columns = TransposeBits8x8(rows);
        for (int i = 0; i < 8; ++i) block[i][b] = static_cast<uint8_t>(columns >> (56 - 8 * i));
      }
      const uint32_t x0 = static_cast<uint32_t>(bx * 8);
      const uint32_t count = std::min<uint32_t>(8, width - x0);
      for (uint32_t i = 0; i < count; ++i) memcpy(out.Row(x0 + i) + first_byte, block[i], n);
    }
  }
}

// One quarter turn of byte-sized pixels: 64 source rows at a time fill a run of 64 pixels in
// every destination row.
template <size_t kPixelBytes>
void TurnBytesRight(uint32_t width, uint32_t height, size_t pixel_bytes, uint32_t first_row,
                    uint32_t end_row, const RowSupplier& next_row, PixelBuffer& out) {
  const size_t p = kPixelBytes != 0 ? kPixelBytes : pixel_bytes;
  const size_t src_bytes = size_t{width} * p;
  // 64 pixels fill whole cache lines of every destination row, so no line is fetched twice.
  constexpr uint32_t kGroup = 64;
  std::vector<uint8_t> slots(kGroup * src_bytes, 0);
  const uint32_t top_column = height - 1 - first_row;  // columns fill from here downwards
  for (uint32_t y = first_row; y < end_row; ++y) {
    const uint32_t column = height - 1 - y;
    const uint32_t slot = column % kGroup;
    memcpy(slots.data() + slot * src_bytes, next_row(), src_bytes);
    if (slot != 0 && y + 1 < end_row) continue;
    // Slots lo .. hi hold the columns base + lo .. base + hi.
    const uint32_t base = column - slot;
    const uint32_t lo = slot;
    const uint32_t hi = std::min(kGroup - 1, top_column - base);
    constexpr uint32_t kChunk = 64;  // destination rows per pass, for cache locality
    for (uint32_t x0 = 0; x0 < width; x0 += kChunk) {
      const uint32_t x1 = std::min(width, x0 + kChunk);
      for (uint32_t x = x0; x < x1; ++x) {
        uint8_t* dst = out.Row(x) + size_t{base} * p;
        const uint8_t* src = slots.data() + size_t{x} * p;
        for (uint32_t s = lo; s <= hi; ++s) {
          memcpy(dst + s * p, src + s * src_bytes, p);
        }
      }
    }
  }
}

// Half turn: each row reversed becomes the mirrored row.
void TurnHalf(uint32_t width, uint32_t height, uint32_t bits, const RowSupplier& next_row,
              PixelBuffer& out) {
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* src = next_row();
    uint8_t* dst = out.Row(height - 1 - y);
    if (bits % 8 == 0) {
      const size_t p = bits / 8;
      for (uint32_t x = 0; x < width; ++x) memcpy(dst + size_t{width - 1 - x} * p, src + x * p, p);
    } else {
      memset(dst, 0, out.row_bytes);
      for (uint32_t x = 0; x < width; ++x)
        SetPixel(dst, width - 1 - x, bits, GetPixel(src, x, bits));
    }
  }
}

// Any turn, pixel by pixel; for the rare cases without a fast path.
void TurnGeneric(uint32_t width, uint32_t height, uint32_t bits, int turns,
                 const RowSupplier& next_row, PixelBuffer& out) {
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* src = next_row();
    for (uint32_t x = 0; x < width; ++x) {
      const uint64_t value = GetPixel(src, x, bits);
      if (turns == 1) {
        SetPixel(out.Row(x), height - 1 - y, bits, value);
      } else {
        SetPixel(out.Row(width - 1 - x), y, bits, value);
      }
    }
  }
}

}  // namespace

uint64_t TransposeBits8x8(uint64_t x) {
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x = x ^ t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x = x ^ t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x = x ^ t ^ (t << 28);
  return x;
}

PixelBuffer AllocateTurnedRight(uint32_t width, uint32_t height, uint32_t pixel_bits) {
  return Allocate(height, width, pixel_bits);
}

void TurnRowsRight(uint32_t width, uint32_t height, uint32_t pixel_bits, uint32_t first_row,
                   uint32_t end_row, const RowSupplier& next_row, PixelBuffer& out) {
  if (first_row >= end_row) return;
  switch (pixel_bits / 8) {
    case 1:
      TurnBytesRight<1>(width, height, 1, first_row, end_row, next_row, out);
      break;
    case 3:
      TurnBytesRight<3>(width, height, 3, first_row, end_row, next_row, out);
      break;
    default:
      TurnBytesRight<0>(width, height, pixel_bits / 8, first_row, end_row, next_row, out);
      break;
  }
}

void DecodeTurnedInto(uint32_t width, uint32_t height, uint32_t pixel_bits, int quarter_turns,
                      const RowSupplier& next_row, PixelBuffer& out) {
  const int turns = ((quarter_turns % 4) + 4) % 4;
  const bool odd = turns % 2 == 1;
  const uint32_t out_width = odd ? height : width;
  const uint32_t out_height = odd ? width : height;
  const size_t row_bytes = RowBytes(out_width, pixel_bits);
  if (out.data.size() < row_bytes * out_height) {
    out = Allocate(out_width, out_height, pixel_bits);
  } else {
    out.width = out_width;
    out.height = out_height;
    out.pixel_bits = pixel_bits;
    out.row_bytes = row_bytes;
  }
  if (turns == 0) {
    for (uint32_t y = 0; y < height; ++y) memcpy(out.Row(y), next_row(), out.row_bytes);
    return;
  }
  if (turns == 2) {
    TurnHalf(width, height, pixel_bits, next_row, out);
    return;
  }
  if (turns == 1 && pixel_bits == 1) {
    TurnBilevelRight(width, height, next_row, out);
    return;
  }
  if (turns == 1 && pixel_bits % 8 == 0) {
    TurnRowsRight(width, height, pixel_bits, 0, height, next_row, out);
    return;
  }
  // Sub-byte pixels are set bit by bit, so padding must start cleared.
  if (pixel_bits % 8 != 0) memset(out.data.data(), 0, out.row_bytes * out.height);
  TurnGeneric(width, height, pixel_bits, turns, next_row, out);
}

PixelBuffer DecodeTurned(uint32_t width, uint32_t height, uint32_t pixel_bits, int quarter_turns,
                         const RowSupplier& next_row) {
  PixelBuffer out;
  DecodeTurnedInto(width, height, pixel_bits, quarter_turns, next_row, out);
  return out;
}

}  // namespace plotspool
