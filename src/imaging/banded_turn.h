// A page turned band by band, so that a large plot is never whole in memory: its rows are read
// once, cut into the pieces that make up each band of turned rows and kept compressed (plots
// are mostly blank and shrink by orders of magnitude; what does not fit in memory goes to a
// nameless file in the temporary directory). A band is decompressed and turned when asked for.
#ifndef PLOTSPOOL_IMAGING_BANDED_TURN_H_
#define PLOTSPOOL_IMAGING_BANDED_TURN_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "imaging/pixel_turn.h"
#include "platform/scratch_file.h"

namespace plotspool {

// Decoded bytes one band of turned rows should hold (a turn holds one such band per plane plus
// about as much compressed data); a page no larger than this is turned whole. Process-wide, set
// from the service's settings; kDefaultTurnBandBytes until then.
inline constexpr uint64_t kDefaultTurnBandBytes = uint64_t{16} << 20;
uint64_t TurnBandBytes();
void SetTurnBandBytes(uint64_t bytes);

// Rows per band of a turned picture `row_bytes` wide whose rows must be written in groups of
// `unit` (rows per strip or tile length): the most whole groups within TurnBandBytes(), at
// least one group.
uint32_t TurnBandRows(uint32_t height, size_t row_bytes, uint32_t unit);

// Bytes whose growth leaves the new ones uninitialised and moves the old ones with one copy:
// compressed data is written over them at once, so clearing them first would only cost time
// (a vector with such an allocator moves its bytes one at a time when it grows).
class RunBytes {
 public:
  uint8_t* data() { return bytes_.get(); }
  const uint8_t* data() const { return bytes_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void resize(size_t size);
  // Empties, keeping the memory for the bytes to come.
  void clear() { size_ = 0; }
  void shrink_to_fit();

 private:
  std::unique_ptr<uint8_t[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Compresses `n` bytes into `out` (appended): runs of bytes repeating those `distance` bytes
// before (blank paper, solid fills of `distance`-byte pixels) are stored as their length. Bytes
// that runs do not shrink by an eighth are stored raw, a few bytes longer than they are; when
// `likely_raw` (the piece before them was), so are bytes whose first eighth holds no run.
// Returns whether the bytes were stored raw.
bool EncodeRuns(const uint8_t* data, size_t n, size_t distance, RunBytes& out,
                bool likely_raw = false);
// Decodes exactly `n` bytes written by EncodeRuns from `in` (advanced past them) into `out`.
// Throws RuntimeError 57 when the data ends early.
void DecodeRuns(const uint8_t*& in, const uint8_t* end, size_t distance, uint8_t* out, size_t n);
// Like DecodeRuns, but bytes stored raw are not copied: returns where the `n` bytes are, in
// [in, end) or in `buffer`.
const uint8_t* DecodePiece(const uint8_t*& in, const uint8_t* end, size_t distance, uint8_t* buffer,
                           size_t n);

class BandedTurn {
 public:
  // For a page of `planes` pictures of `width` x `height` pixels of `pixel_bits`, to be turned
  // `quarter_turns` (0 to 3) times clockwise and handed out in bands of `band_rows` turned rows.
  BandedTurn(uint32_t width, uint32_t height, uint32_t pixel_bits, uint16_t planes,
             int quarter_turns, uint32_t band_rows);
  BandedTurn(const BandedTurn&) = delete;
  BandedTurn& operator=(const BandedTurn&) = delete;
  ~BandedTurn();

  // Reads all rows of the next plane top-down from `next_row` and keeps them.
  void AddPlane(const RowSupplier& next_row);

  // The turned page.
  uint32_t width() const;
  uint32_t height() const;
  uint32_t pixel_bits() const { return pixel_bits_; }
  uint16_t planes() const { return planes_; }
  uint32_t band_rows() const { return band_rows_; }
  int quarter_turns() const { return turns_; }
  // Compressed bytes held, in memory and in the scratch file.
  uint64_t stored_bytes() const;

  // Turned rows first_row .. first_row + band_rows() - 1 (fewer at the bottom) of `plane`;
  // first_row is a multiple of band_rows(). Valid until the next call for any plane.
  const PixelBuffer& Band(uint16_t plane, uint32_t first_row);
  // The same band of every plane at once (for converting planes side by side); valid until the
  // next call.
  const std::vector<PixelBuffer>& Bands(uint32_t first_row);

 private:
  struct Cell;
  struct Span {
    uint32_t first = 0;  // first source column (quarter turns) or row (else)
    uint32_t count = 0;
  };
  Span SpanOfBand(size_t band) const;
  void BeginPlane();
  void AddRow(const uint8_t* row);
  void Spill();
  void DecodeBand(uint16_t plane, size_t band, PixelBuffer& out);

  uint32_t width_;
  uint32_t height_;
  uint32_t pixel_bits_;
  uint16_t planes_;
  int turns_;
  uint32_t band_rows_;
  size_t bands_;
  size_t distance_;  // run distance for EncodeRuns: one pixel, or a byte for smaller pixels
  std::vector<std::vector<Cell>> cells_;  // [plane][band]
  std::vector<Span> spans_;               // of every band
  uint32_t next_row_ = 0;                 // of the plane being added
  std::vector<uint8_t> piece_;
  uint64_t pending_bytes_ = 0;
  uint64_t spilled_bytes_ = 0;
  std::optional<platform::ScratchFile> scratch_;
  PixelBuffer band_;
  std::vector<PixelBuffer> all_planes_;
};

}  // namespace plotspool

#endif  // PLOTSPOOL_IMAGING_BANDED_TURN_H_
