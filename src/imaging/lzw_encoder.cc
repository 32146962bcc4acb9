#include "imaging/lzw_encoder.h"

#include <algorithm>
#include <cstring>

namespace plotspool {
namespace {

// The end of the run of `bytes[i]` starting at i, looking no further than `limit`.
size_t RunEnd(const uint8_t* bytes, size_t i, size_t limit) {
  const uint8_t b = bytes[i];
  uint64_t pattern;
  memset(&pattern, b, sizeof pattern);
  size_t j = i + 1;
  while (j + 8 <= limit) {
    uint64_t word;
    memcpy(&word, bytes + j, 8);
    if (word != pattern) break;
    j += 8;
  }
  while (j < limit && bytes[j] == b) ++j;
  return j;
}

constexpr uint32_t kClearCode = 256;
constexpr uint32_t kEndCode = 257;
constexpr uint32_t kFirstCode = 258;
// A full table is cleared one code before 4095, where TIFF writers have always cleared it.
constexpr uint32_t kTableFull = 4094;
constexpr int kMinWidth = 9;

}  // namespace

LzwEncoder::LzwEncoder()
    : table_(std::make_unique<uint32_t[]>(kSlots)),
      run_codes_(std::make_unique_for_overwrite<uint16_t[]>(256 * kCodes)) {
  for (uint32_t b = 0; b < 256; ++b) {
    run_codes_[256 + b] = static_cast<uint16_t>(b);
    run_length_[b] = 1;
    run_byte_[b] = static_cast<uint8_t>(b);
  }
}

void LzwEncoder::Put(uint32_t code) {
  bits_ = (bits_ << width_) | code;
  bit_count_ += width_;
  while (bit_count_ >= 8) {
    bit_count_ -= 8;
    out_->push_back(static_cast<uint8_t>(bits_ >> bit_count_));
  }
}

void LzwEncoder::ClearTable() {
  memset(table_.get(), 0, kSlots * sizeof(uint32_t));
  std::fill(std::begin(run_max_), std::end(run_max_), uint16_t{1});
  next_code_ = kFirstCode;
}

void LzwEncoder::Begin(std::vector<uint8_t>& out) {
  out_ = &out;
  out.clear();
  bits_ = 0;
  bit_count_ = 0;
  ClearTable();
  width_ = kMinWidth;
  Put(kClearCode);
  started_ = false;
}

void LzwEncoder::Feed(const uint8_t* bytes, size_t n) {
  if (n == 0) return;
  size_t i = 0;
  uint32_t* table = table_.get();
  uint16_t* run_codes = run_codes_.get();
  // Starts a string at bytes[i]: the longest run of that byte the table knows, at once.
  const auto start = [&](size_t at) -> uint32_t {
    const uint32_t byte = bytes[at];
    const uint32_t longest = run_max_[byte];
    if (longest < 2 || at + 1 >= n || bytes[at + 1] != byte) return byte;
    const size_t end = RunEnd(bytes, at, std::min(n, at + longest));
    i = end - 1;
    return run_codes[(end - at) * 256 + byte];
  };
  if (!started_) {
    prefix_ = start(0);
    ++i;
    started_ = true;
  }
  uint32_t prefix = prefix_;
  uint32_t next_code = next_code_;
  uint32_t limit = (1u << width_) - 1;  // the code width grows once next_code passes this
  for (; i < n; ++i) {
    // The loop is bound by the chain from one code to the next look-up. A multiplicative hash
    // spreads the table: XOR-ing code and byte clustered the strings of neighbouring codes into
    // long probe runs (a third of the encoder's time on a drawn RGB plot).
    const uint32_t byte = bytes[i];
    const uint32_t key = (prefix << 8) | byte;
    uint32_t slot = (key * 2654435761u) >> (32 - kSlotBits);
    uint32_t entry;
    while ((entry = table[slot]) != 0 && entry >> 12 != key) slot = (slot + 1) & (kSlots - 1);
    if (entry != 0) {
      prefix = entry & 0xfff;
      continue;
    }
    Put(prefix);
    table[slot] = (key << 12) | next_code;
    if (run_length_[prefix] == run_max_[byte] && run_byte_[prefix] == byte) {
      const uint16_t length = ++run_max_[byte];
      run_codes[length * 256 + byte] = static_cast<uint16_t>(next_code);
      run_length_[next_code] = length;
      run_byte_[next_code] = static_cast<uint8_t>(byte);
    } else {
      run_length_[next_code] = 0;
    }
    ++next_code;
    if (next_code == kTableFull) {
      next_code_ = next_code;
      ClearTable();
      Put(kClearCode);
      next_code = kFirstCode;
      width_ = kMinWidth;
      limit = (1u << width_) - 1;
    } else if (next_code > limit) {
      ++width_;
      limit = (1u << width_) - 1;
    }
    prefix = start(i);
  }
  prefix_ = prefix;
  next_code_ = next_code;
}

void LzwEncoder::End() {
  if (started_) {
    Put(prefix_);
    // The reader adds a table entry for this last code too, and widens its codes to match.
    const uint32_t next_code = next_code_ + 1;
    if (next_code == kTableFull) {
      Put(kClearCode);
      width_ = kMinWidth;
    } else if (next_code > (1u << width_) - 1) {
      ++width_;
    }
  }
  Put(kEndCode);
  if (bit_count_ > 0) out_->push_back(static_cast<uint8_t>(bits_ << (8 - bit_count_)));
  bit_count_ = 0;
  out_ = nullptr;
}

void LzwEncoder::EncodeStrip(const uint8_t* data, size_t rows, size_t row_bytes,
                             size_t predictor_stride, std::vector<uint8_t>& out) {
  out.reserve(rows * row_bytes / 8 + 64);
  Begin(out);
  if (predictor_stride == 0) {
    Feed(data, rows * row_bytes);
  } else {
    differenced_.resize(row_bytes);
    uint8_t* d = differenced_.data();
    for (size_t r = 0; r < rows; ++r) {
      const uint8_t* row = data + r * row_bytes;
      const size_t head = std::min(predictor_stride, row_bytes);
      memcpy(d, row, head);
      size_t x = head;
      // Eight bytes at a time, each subtracted on its own (no borrow crosses a byte).
      constexpr uint64_t kHigh = 0x8080808080808080ull;
      for (; x + 8 <= row_bytes; x += 8) {
        uint64_t a, b;
        memcpy(&a, row + x, 8);
        memcpy(&b, row + x - predictor_stride, 8);
        const uint64_t difference = ((a | kHigh) - (b & ~kHigh)) ^ ((a ^ ~b) & kHigh);
        memcpy(d + x, &difference, 8);
      }
      for (; x < row_bytes; ++x) d[x] = static_cast<uint8_t>(row[x] - row[x - predictor_stride]);
      Feed(d, row_bytes);
    }
  }
  End();
}

}  // namespace plotspool
