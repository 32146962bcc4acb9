// TIFF LZW encoding of one strip at a time, independent of libtiff's handle so that several
// strips can be encoded at once. The output is what TIFFWriteRawStrip expects: codes of 9 to 12
// bits, most significant bit first, opening with ClearCode (256) and closing with EOI (257),
// the code width growing one code early as TIFF readers expect.
#ifndef PLOTSPOOL_IMAGING_LZW_ENCODER_H_
#define PLOTSPOOL_IMAGING_LZW_ENCODER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace plotspool {

class LzwEncoder {
 public:
  LzwEncoder();
  LzwEncoder(const LzwEncoder&) = delete;
  LzwEncoder& operator=(const LzwEncoder&) = delete;

  // Replaces `out` with the encoded strip of `rows` packed rows of `row_bytes` bytes each.
  // `predictor_stride` > 0: horizontal differencing of 8-bit samples that many bytes apart
  // (samples per pixel), each row on its own, as TIFF predictor 2 does; `data` stays unchanged.
  void EncodeStrip(const uint8_t* data, size_t rows, size_t row_bytes, size_t predictor_stride,
                   std::vector<uint8_t>& out);

 private:
  void Begin(std::vector<uint8_t>& out);
  void Feed(const uint8_t* bytes, size_t n);
  void End();
  void Put(uint32_t code);
  void ClearTable();

  // Open hashing of the strings in the table: each used slot holds (prefix << 8 | byte) << 12
  // | code, never 0 as codes start at 258. Small enough to stay in the first-level cache.
  static constexpr int kSlotBits = 13;
  static constexpr uint32_t kSlots = 1u << kSlotBits;
  static constexpr uint32_t kCodes = 4096;
  std::unique_ptr<uint32_t[]> table_;
  // Runs of one byte, which blank paper is made of: the code of the string of L copies of byte
  // b is run_codes_[L * 256 + b] for every L up to run_max_[b]; run_length_[c] is L when
  // code c is such a string of byte run_byte_[c], else 0. A run is then matched in one step
  // instead of one table look-up per byte, with the very codes the look-ups would find.
  std::unique_ptr<uint16_t[]> run_codes_;
  uint16_t run_max_[256] = {};
  uint16_t run_length_[kCodes] = {};
  uint8_t run_byte_[kCodes] = {};
  std::vector<uint8_t> differenced_;
  std::vector<uint8_t>* out_ = nullptr;
  uint64_t bits_ = 0;  // pending output bits, the last `bit_count_` of them valid
  int bit_count_ = 0;
  int width_ = 9;
  uint32_t next_code_ = 258;
  uint32_t prefix_ = 0;
  bool started_ = false;
};

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_LZW_ENCODER_H_
