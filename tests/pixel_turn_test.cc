#include "imaging/pixel_turn.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace plotspool {
namespace {

uint64_t Get(const uint8_t* row, uint32_t x, uint32_t bits) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < bits; ++i) {
    const size_t bit = size_t{x} * bits + i;
    value = value << 1 | ((row[bit / 8] >> (7 - bit % 8)) & 1);
  }
  return value;
}

struct Picture {
  uint32_t width, height, bits;
  size_t row_bytes;
  std::vector<uint8_t> data;
};

Picture RandomPicture(uint32_t width, uint32_t height, uint32_t bits, uint32_t seed) {
  Picture p{width, height, bits, (size_t{width} * bits + 7) / 8, {}};
  std::mt19937 random(seed);
  p.data.resize(p.row_bytes * height);
  for (auto& b : p.data) b = static_cast<uint8_t>(random());
  // Padding bits are zero in decoded rows.
  if ((width * bits) % 8 != 0) {
    const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - (width * bits) % 8));
    for (uint32_t y = 0; y < height; ++y) p.data[y * p.row_bytes + p.row_bytes - 1] &= mask;
  }
  return p;
}

PixelBuffer Turn(const Picture& p, int turns) {
  uint32_t y = 0;
  return DecodeTurned(p.width, p.height, p.bits, turns,
                      [&] { return p.data.data() + size_t{y++} * p.row_bytes; });
}

TEST(PixelTurnTest, TransposeMatchesBitByBitDefinition) {
  std::mt19937_64 random(7);
  for (int n = 0; n < 1000; ++n) {
    const uint64_t rows = random();
    const uint64_t columns = TransposeBits8x8(rows);
    for (int r = 0; r < 8; ++r) {
      for (int c = 0; c < 8; ++c) {
        ASSERT_EQ((rows >> (63 - (8 * r + c))) & 1, (columns >> (63 - (8 * c + r))) & 1);
      }
    }
  }
}

// A quarter turn done as two row ranges (as two threads do it) equals the turn in one go,
// wherever the split falls against the 64-row groups.
TEST(PixelTurnTest, TurnInTwoRowRangesEqualsOneTurn) {
  for (uint32_t bits : {8u, 24u, 32u}) {
    for (uint32_t height : {1u, 63u, 64u, 65u, 200u}) {
      const Picture p = RandomPicture(37, height, bits, bits + height);
      const PixelBuffer whole = Turn(p, 1);
      for (uint32_t split : {0u, 1u, height / 2, 64u % (height + 1), height - 1, height}) {
        PixelBuffer parts = AllocateTurnedRight(p.width, p.height, bits);
        uint32_t y = split;
        TurnRowsRight(
            p.width, p.height, bits, split, p.height,
            [&] { return p.data.data() + size_t{y++} * p.row_bytes; }, parts);
        y = 0;
        TurnRowsRight(
            p.width, p.height, bits, 0, split,
            [&] { return p.data.data() + size_t{y++} * p.row_bytes; }, parts);
        ASSERT_EQ(y, split);
        ASSERT_EQ(0, memcmp(parts.data.data(), whole.data.data(), whole.row_bytes * whole.height))
            << bits << " bits, height " << height << ", split at " << split;
      }
    }
  }
}

// Every turn count against the pixel-by-pixel definition, for the fast paths (1 bit, whole
// bytes) and the generic ones, on sizes that are not multiples of any block.
TEST(PixelTurnTest, EveryTurnMovesEveryPixelWhereItBelongs) {
  const uint32_t sizes[][2] = {{1, 1}, {7, 3}, {9, 65}, {70, 129}, {131, 67}, {64, 64}};
  for (uint32_t bits : {1u, 2u, 4u, 8u, 16u, 24u, 32u}) {
    for (const auto& size : sizes) {
      const Picture p = RandomPicture(size[0], size[1], bits, bits * 131 + size[0]);
      for (int turns = 0; turns < 4; ++turns) {
        const PixelBuffer out = Turn(p, turns);
        const bool odd = turns % 2 == 1;
        ASSERT_EQ(out.width, odd ? p.height : p.width);
        ASSERT_EQ(out.height, odd ? p.width : p.height);
        for (uint32_t y = 0; y < p.height; ++y) {
          for (uint32_t x = 0; x < p.width; ++x) {
            uint32_t tx = x, ty = y;
            if (turns == 1) tx = p.height - 1 - y, ty = x;
            if (turns == 2) tx = p.width - 1 - x, ty = p.height - 1 - y;
            if (turns == 3) tx = y, ty = p.width - 1 - x;
            ASSERT_EQ(Get(out.Row(ty), tx, bits), Get(p.data.data() + y * p.row_bytes, x, bits))
                << bits << " bits, " << p.width << "x" << p.height << ", turns " << turns
                << ", pixel " << x << "," << y;
          }
        }
        // Padding bits of the turned rows stay clear.
        const uint32_t used = (out.width * bits) % 8;
        if (used != 0) {
          for (uint32_t y = 0; y < out.height; ++y) {
            ASSERT_EQ(out.Row(y)[out.row_bytes - 1] & (0xFF >> used), 0);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace plotspool
