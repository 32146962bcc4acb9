#include "imaging/lzw_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace plotspool {
namespace {

constexpr uint32_t kClearCode = 256;
constexpr uint32_t kEndCode = 257;
constexpr uint32_t kFirstCode = 258;
constexpr uint32_t kCodes = 4096;
constexpr int kMinWidth = 9;
constexpr int kMaxWidth = 12;

// Codes most significant bit first, taken from a 64-bit reservoir refilled a word at a time.
class CodeReader {
 public:
  explicit CodeReader(std::span<const uint8_t> in)
      : next_(in.data()), end_(in.data() + in.size()) {}

  // False when fewer than `width` bits are left.
  bool Next(int width, uint32_t& code) {
    if (count_ < width) Refill();
    if (count_ < width) return false;
    count_ -= width;
    code = static_cast<uint32_t>(bits_ >> count_) & ((1u << width) - 1);
    return true;
  }

 private:
  void Refill() {
    if (end_ - next_ >= 8) {
      uint64_t word;
      memcpy(&word, next_, 8);
      if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
      const int take = (63 - count_) / 8;  // whole bytes that fit beside the bits held
      bits_ = (bits_ << (take * 8)) | (word >> (64 - take * 8));
      next_ += take;
      count_ += take * 8;
      return;
    }
    while (count_ <= 56 && next_ < end_) {
      bits_ = (bits_ << 8) | *next_++;
      count_ += 8;
    }
  }

  const uint8_t* next_;
  const uint8_t* end_;
  uint64_t bits_ = 0;  // the last `count_` bits are the next ones of the stream
  int count_ = 0;
};

// dst[k] = dst[k - stride] for k < n: the pixel before `dst` repeated, in doubling copies.
void RepeatPixel(uint8_t* dst, size_t n, size_t stride) {
  size_t done = 0;  // always a whole number of pixels until the last copy
  while (done < n) {
    const size_t chunk = std::min(done + stride, n - done);
    memcpy(dst + done, dst - stride, chunk);
    done += chunk;
  }
}

}  // namespace

bool DecodeLzwStrip(std::span<const uint8_t> in, std::span<uint8_t> out) {
  uint8_t* const o = out.data();
  const size_t n = out.size();
  if (n == 0) return false;
  CodeReader reader(in);
  uint32_t code;
  if (!reader.Next(kMinWidth, code) || code != kClearCode) return false;
  // Code c >= kFirstCode stands for the `length[c]` bytes at `start[c]` of the output: the
  // string of the code before it and the first byte after that, which follow one another there.
  uint32_t start[kCodes];
  uint32_t length[kCodes];
  size_t pos = 0;
  for (;;) {
    do {
      if (!reader.Next(kMinWidth, code)) return false;
    } while (code == kClearCode);
    if (code > 255) return false;
    int width = kMinWidth;
    uint32_t next = kFirstCode;
    o[pos] = static_cast<uint8_t>(code);
    size_t previous_start = pos++;
    uint32_t previous_length = 1;
    if (pos == n) return true;
    for (;;) {
      if (!reader.Next(width, code)) return false;
      if (code == kClearCode) break;
      if (code == kEndCode || code > next || next == kCodes) return false;
      start[next] = static_cast<uint32_t>(previous_start);
      length[next] = previous_length + 1;
      ++next;
      // One code early, as TIFF writers widen.
      if (next > (1u << width) - 2 && width < kMaxWidth) ++width;
      uint32_t len = 1;
      if (code < 256) {
        o[pos] = static_cast<uint8_t>(code);
      } else {
        const uint8_t* s = o + start[code];
        len = length[code];
        const size_t room = n - pos;
        if (len > room) {  // the last code: what fits, the rest is never read
          for (size_t k = 0; k < room; ++k) o[pos + k] = s[k];
          return true;
        }
        if (code == next - 1) {
          // The code just made: the previous string and its own first byte, which is the
          // first byte being written now.
          memcpy(o + pos, s, len - 1);
          o[pos + len - 1] = s[0];
        } else if (len <= 16 && room >= 16) {
          // Short strings as two words; the bytes past the string are written again later.
          uint64_t a, b;
          memcpy(&a, s, 8);
          memcpy(&b, s + 8, 8);
          memcpy(o + pos, &a, 8);
          memcpy(o + pos + 8, &b, 8);
        } else {
          memcpy(o + pos, s, len);
        }
      }
      previous_start = pos;
      previous_length = len;
      pos += len;
      if (pos == n) return true;
    }
  }
}

void UndoHorizontalDifferencing(uint8_t* data, size_t rows, size_t row_bytes, size_t stride) {
  if (stride == 0) return;
  for (size_t r = 0; r < rows; ++r) {
    uint8_t* p = data + r * row_bytes;
    size_t i = stride;
    while (i < row_bytes) {
      uint64_t word = 1;
      if (i + 8 <= row_bytes) memcpy(&word, p + i, 8);
      if (word == 0) {
        size_t j = i + 8;
        while (j + 8 <= row_bytes && (memcpy(&word, p + j, 8), word == 0)) j += 8;
        RepeatPixel(p + i, j - i, stride);
        i = j;
        continue;
      }
      const size_t end = std::min(i + 8, row_bytes);
      for (; i < end; ++i) p[i] = static_cast<uint8_t>(p[i] + p[i - stride]);
    }
  }
}

}  // namespace plotspool
