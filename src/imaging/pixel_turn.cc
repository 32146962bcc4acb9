#include "imaging/pixel_turn.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

// Every x86-64 has SSE2; other targets take the portable way.
#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define PLOTSPOOL_TURN_SSE2 1
#else
#define PLOTSPOOL_TURN_SSE2 0
#endif

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

// Slots lo .. hi of a group of source rows (`src_bytes` apart, slot s holding column base + s)
// moved into destination rows x0 .. x1 - 1 one pixel at a time: the way for any pixel size
// and for the part groups at the ends of a row range.
template <size_t kPixelBytes>
void TurnGroupPixelByPixel(const uint8_t* slots, size_t src_bytes, size_t p, uint32_t x0,
                           uint32_t x1, uint32_t lo, uint32_t hi, uint32_t base, PixelBuffer& out) {
  for (uint32_t x = x0; x < x1; ++x) {
    uint8_t* dst = out.Row(x) + size_t{base} * p;
    const uint8_t* src = slots + size_t{x} * p;
    for (uint32_t s = lo; s <= hi; ++s) memcpy(dst + s * p, src + s * src_bytes, p);
  }
}

constexpr uint32_t kGroup = 64;

#if PLOTSPOOL_TURN_SSE2
// Blocks of n x n pixels of a whole group, n = 16 / kPixelBytes: one register per slot, one
// per destination row. Interleaving register i with i + n / 2 rotates the (register, place)
// address of every pixel left by one bit, so log2(n) rounds swap its halves: a transpose.
// Returns the first destination row left, fewer than n before `width`.
template <size_t kPixelBytes>
uint32_t TurnWholeGroupInBlocks(const uint8_t* slots, size_t src_bytes, uint32_t width,
                                uint32_t base, PixelBuffer& out) {
  constexpr uint32_t n = 16 / kPixelBytes;
  constexpr int kRounds = std::countr_zero(n);
  const auto low = [](__m128i a, __m128i b) {
    if constexpr (kPixelBytes == 1) return _mm_unpacklo_epi8(a, b);
    if constexpr (kPixelBytes == 2) return _mm_unpacklo_epi16(a, b);
    if constexpr (kPixelBytes == 4) return _mm_unpacklo_epi32(a, b);
    if constexpr (kPixelBytes == 8) return _mm_unpacklo_epi64(a, b);
  };
  const auto high = [](__m128i a, __m128i b) {
    if constexpr (kPixelBytes == 1) return _mm_unpackhi_epi8(a, b);
    if constexpr (kPixelBytes == 2) return _mm_unpackhi_epi16(a, b);
    if constexpr (kPixelBytes == 4) return _mm_unpackhi_epi32(a, b);
    if constexpr (kPixelBytes == 8) return _mm_unpackhi_epi64(a, b);
  };
  uint32_t x0 = 0;
  for (; x0 + n <= width; x0 += n) {
    for (uint32_t s0 = 0; s0 < kGroup; s0 += n) {
      __m128i r[n];
#pragma GCC unroll 16
      for (uint32_t i = 0; i < n; ++i) {
        r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(slots + (s0 + i) * src_bytes +
                                                                size_t{x0} * kPixelBytes));
      }
#pragma GCC unroll 4
      for (int round = 0; round < kRounds; ++round) {
        __m128i t[n];
#pragma GCC unroll 16
        for (uint32_t i = 0; i < n / 2; ++i) {
          t[2 * i] = low(r[i], r[i + n / 2]);
          t[2 * i + 1] = high(r[i], r[i + n / 2]);
        }
#pragma GCC unroll 16
        for (uint32_t i = 0; i < n; ++i) r[i] = t[i];
      }
#pragma GCC unroll 16
      for (uint32_t i = 0; i < n; ++i) {
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(out.Row(x0 + i) + (size_t{base} + s0) * kPixelBytes), r[i]);
      }
    }
  }
  return x0;
}
#endif

// All kGroup slots of a group into every destination row. A copy per pixel costs a load and a
// store (two of each for 3 bytes), which made the turn of a large RGB plot a seventh of its
// job; moving blocks of pixels through registers needs a fraction of that.
template <size_t kPixelBytes>
void TurnWholeGroup(const uint8_t* slots, size_t src_bytes, size_t p, uint32_t width, uint32_t base,
                    PixelBuffer& out) {
  uint32_t done = 0;  // destination rows already filled
  if constexpr (kPixelBytes == 3 && std::endian::native == std::endian::little) {
    // Each pixel loads as a 32-bit word (the slots have a spare byte past the last one), and
    // every 8 are packed into three 64-bit words.
    const auto load = [](const uint8_t* at) {
      uint32_t v;
      memcpy(&v, at, 4);
      return uint64_t{v & 0xFFFFFFu};
    };
    const auto store = [](uint8_t* at, uint64_t v) { memcpy(at, &v, 8); };
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* dst = out.Row(x) + size_t{base} * 3;
      const uint8_t* src = slots + size_t{x} * 3;
      // Destination rows lie a row of the band apart, too far for the hardware to foresee;
      // asking for the run of a row 8 ahead took a quarter off this loop on a large plot.
      if (x + 8 < width) {
        const uint8_t* ahead = out.Row(x + 8) + size_t{base} * 3;
        for (int line = 0; line < 3; ++line) __builtin_prefetch(ahead + 64 * line, 1);
        __builtin_prefetch(ahead + 191, 1);
      }
      for (uint32_t s = 0; s < kGroup; s += 8, dst += 24, src += 8 * src_bytes) {
        // Named, not an array: the compiler keeps these in registers.
        const uint64_t v0 = load(src), v1 = load(src + src_bytes);
        const uint64_t v2 = load(src + 2 * src_bytes), v3 = load(src + 3 * src_bytes);
        const uint64_t v4 = load(src + 4 * src_bytes), v5 = load(src + 5 * src_bytes);
        const uint64_t v6 = load(src + 6 * src_bytes), v7 = load(src + 7 * src_bytes);
        store(dst, v0 | v1 << 24 | v2 << 48);
        store(dst + 8, v2 >> 16 | v3 << 8 | v4 << 32 | v5 << 56);
        store(dst + 16, v5 >> 8 | v6 << 16 | v7 << 40);
      }
    }
    done = width;
  }
#if PLOTSPOOL_TURN_SSE2
  if constexpr (kPixelBytes == 1 || kPixelBytes == 2 || kPixelBytes == 4 || kPixelBytes == 8) {
    done = TurnWholeGroupInBlocks<kPixelBytes>(slots, src_bytes, width, base, out);
  }
#endif
  TurnGroupPixelByPixel<kPixelBytes>(slots, src_bytes, p, done, width, 0, kGroup - 1, base, out);
}

// One quarter turn of byte-sized pixels: 64 source rows at a time fill a run of 64 pixels in
// every destination row.
template <size_t kPixelBytes>
void TurnBytesRight(uint32_t width, uint32_t height, size_t pixel_bytes, uint32_t first_row,
                    uint32_t end_row, const RowSupplier& next_row, PixelBuffer& out) {
  const size_t p = kPixelBytes != 0 ? kPixelBytes : pixel_bytes;
  const size_t src_bytes = size_t{width} * p;
  // 64 pixels fill whole cache lines of every destination row, so no line is fetched twice.
  // The spare byte lets the last pixel of the last slot load as a 32-bit word.
  std::vector<uint8_t> slots(kGroup * src_bytes + 1, 0);
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
    if (lo == 0 && hi == kGroup - 1) {
      TurnWholeGroup<kPixelBytes>(slots.data(), src_bytes, p, width, base, out);
    } else {
      TurnGroupPixelByPixel<kPixelBytes>(slots.data(), src_bytes, p, 0, width, lo, hi, base, out);
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
    case 2:
      TurnBytesRight<2>(width, height, 2, first_row, end_row, next_row, out);
      break;
    case 3:
      TurnBytesRight<3>(width, height, 3, first_row, end_row, next_row, out);
      break;
    case 4:
      TurnBytesRight<4>(width, height, 4, first_row, end_row, next_row, out);
      break;
    case 6:
      TurnBytesRight<6>(width, height, 6, first_row, end_row, next_row, out);
      break;
    case 8:
      TurnBytesRight<8>(width, height, 8, first_row, end_row, next_row, out);
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
