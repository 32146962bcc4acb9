#include "imaging/banded_turn.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <span>
#include <utility>

#include "base/error.h"

namespace plotspool {
namespace {

uint64_t turn_band_bytes = kDefaultTurnBandBytes;

// Shorter repeats are cheaper kept as they are than as a run.
constexpr size_t kMinRun = 8;
// Bytes of the longest length (7 bits a byte).
constexpr size_t kMaxLengthBytes = 10;

size_t RowBytes(uint32_t width, uint32_t pixel_bits) {
  return (size_t{width} * pixel_bits + 7) / 8;
}

uint8_t* PutLength(size_t n, uint8_t* out) {
  while (n >= 0x80) {
    *out++ = static_cast<uint8_t>(n | 0x80);
    n >>= 7;
  }
  *out++ = static_cast<uint8_t>(n);
  return out;
}

size_t LengthBytes(size_t n) { return n < 0x80 ? 1 : (std::bit_width(n) + 6) / 7; }

[[noreturn]] void Damaged() {
  throw RuntimeError(kDeviceIoError, "Device I/O error (turn band data damaged)");
}

size_t GetLength(const uint8_t*& in, const uint8_t* end) {
  size_t n = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (in == end) Damaged();
    const uint8_t byte = *in++;
    n |= size_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) return n;
  }
  Damaged();
}

// The end of the run of bytes at `i` (i >= distance) equal to those `distance` bytes before.
size_t RunEnd(const uint8_t* data, size_t n, size_t distance, size_t i) {
  while (i + 8 <= n) {
    uint64_t a, b;
    memcpy(&a, data + i, 8);
    memcpy(&b, data + i - distance, 8);
    if (a != b) {
      const uint64_t diff = a ^ b;
      // The first differing byte in memory order.
      return i + static_cast<size_t>((std::endian::native == std::endian::little
                                          ? std::countr_zero(diff)
                                          : std::countl_zero(diff)) /
                                     8);
    }
    i += 8;
  }
  while (i < n && data[i] == data[i - distance]) ++i;
  return i;
}

// Spelled out byte by byte, which compilers turn into one load or store (and a byte swap).
uint64_t LoadBigEndian64(const uint8_t* p) {
  return uint64_t{p[0]} << 56 | uint64_t{p[1]} << 48 | uint64_t{p[2]} << 40 | uint64_t{p[3]} << 32 |
         uint64_t{p[4]} << 24 | uint64_t{p[5]} << 16 | uint64_t{p[6]} << 8 | uint64_t{p[7]};
}

void StoreBigEndian64(uint64_t v, uint8_t* p) {
  p[0] = static_cast<uint8_t>(v >> 56);
  p[1] = static_cast<uint8_t>(v >> 48);
  p[2] = static_cast<uint8_t>(v >> 40);
  p[3] = static_cast<uint8_t>(v >> 32);
  p[4] = static_cast<uint8_t>(v >> 24);
  p[5] = static_cast<uint8_t>(v >> 16);
  p[6] = static_cast<uint8_t>(v >> 8);
  p[7] = static_cast<uint8_t>(v);
}

// Copies `nbits` bits starting at bit `first_bit` of `row` (of `row_bytes`) to the start of
// `out`, the bits after them in the last byte cleared. Bilevel pages cut into bands that start
// inside a byte pass every row through here, so it goes a word at a time.
void ExtractBits(const uint8_t* row, size_t row_bytes, size_t first_bit, size_t nbits,
                 uint8_t* out) {
  const size_t n = (nbits + 7) / 8;
  const size_t start = first_bit / 8;
  const unsigned shift = first_bit % 8;
  size_t i = 0;
  for (; i + 8 <= n && start + i + 8 < row_bytes; i += 8) {
    const uint64_t low = row[start + i + 8];
    StoreBigEndian64(LoadBigEndian64(row + start + i) << shift | low >> (8 - shift), out + i);
  }
  for (; i < n; ++i) {
    const unsigned high = row[start + i];
    const unsigned low = start + i + 1 < row_bytes ? row[start + i + 1] : 0;
    out[i] = static_cast<uint8_t>(high << shift | low >> (8 - shift));
  }
  if (nbits % 8 != 0) out[n - 1] &= static_cast<uint8_t>(0xff00u >> (nbits % 8));
}

}  // namespace

uint64_t TurnBandBytes() { return turn_band_bytes; }

void SetTurnBandBytes(uint64_t bytes) { turn_band_bytes = std::max<uint64_t>(bytes, 1); }

uint32_t TurnBandRows(uint32_t height, size_t row_bytes, uint32_t unit) {
  const uint64_t group = uint64_t{std::max<uint32_t>(unit, 1)} * std::max<size_t>(row_bytes, 1);
  const uint64_t groups = std::max<uint64_t>(1, TurnBandBytes() / group);
  return static_cast<uint32_t>(std::min<uint64_t>(groups * std::max<uint32_t>(unit, 1), height));
}

void RunBytes::resize(size_t size) {
  if (size > capacity_) {
    const size_t capacity = std::max(size, 2 * capacity_);
    auto bytes = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (size_ > 0) memcpy(bytes.get(), bytes_.get(), size_);
    bytes_ = std::move(bytes);
    capacity_ = capacity;
  }
  size_ = size;
}

void RunBytes::shrink_to_fit() {
  if (capacity_ == size_) return;
  RunBytes fitted;
  fitted.resize(size_);
  if (size_ > 0) memcpy(fitted.data(), data(), size_);
  *this = std::move(fitted);
}

bool EncodeRuns(const uint8_t* data, size_t n, size_t distance, RunBytes& out, bool likely_raw) {
  if (n == 0) return false;
  // Runs that save less than an eighth are not worth decoding: such a piece is kept as one
  // literal (raw), which DecodePiece hands out in place. The output thus never exceeds the
  // raw form.
  const size_t limit = n - n / 8;
  const size_t size = out.size();
  out.resize(size + n + 2 * kMaxLengthBytes);
  uint8_t* const begin = out.data() + size;
  uint8_t* put = begin;
  const auto raw = [&] {
    put = PutLength(n, begin);
    memcpy(put, data, n);
    put += n;
    *put++ = 0;
    out.resize(static_cast<size_t>(put - out.data()));
    return true;
  };
  size_t literal = 0;
  // Whether the output, with the bytes from `literal` to `to` and a run after them, would stay
  // within the limit; if so they are written.
  const auto literal_then_run = [&](size_t to, size_t run) {
    const size_t bytes = LengthBytes(to - literal) + (to - literal) + LengthBytes(run);
    if (static_cast<size_t>(put - begin) + bytes > limit) return false;
    put = PutLength(to - literal, put);
    memcpy(put, data + literal, to - literal);
    put += to - literal;
    put = PutLength(run, put);
    return true;
  };
  // Scanning past this point, the pending literal alone takes the output over the limit. Rows
  // of a noisy area look alike: when the piece before was raw, a first eighth without a run is
  // taken as enough evidence that this one is too, which spares scanning the rest.
  size_t give_up = likely_raw ? n / 8 : limit;
  size_t i = distance;
  while (i < n) {
    if (i > give_up) return raw();
    // A run of kMinRun or more starting anywhere in i .. i + kMinRun - 1 covers the last of
    // these bytes: where that one differs, none starts here.
    if (i + kMinRun <= n && data[i + kMinRun - 1] != data[i + kMinRun - 1 - distance]) {
      i += kMinRun;
      continue;
    }
    size_t start = std::min(i + kMinRun - 1, n - 1);
    if (data[start] != data[start - distance]) break;  // the tail is too short for a run
    while (start > i && data[start - 1] == data[start - 1 - distance]) --start;
    const size_t end = RunEnd(data, n, distance, start + 1);
    if (end - start >= kMinRun) {
      if (!literal_then_run(start, end - start)) return raw();
      literal = end;
      give_up = limit - static_cast<size_t>(put - begin) + literal;
    }
    i = end;
  }
  if (literal < n && !literal_then_run(n, 0)) return raw();
  out.resize(static_cast<size_t>(put - out.data()));
  return false;
}

void DecodeRuns(const uint8_t*& in, const uint8_t* end, size_t distance, uint8_t* out, size_t n) {
  size_t done = 0;
  while (done < n) {
    const size_t literal = GetLength(in, end);
    if (literal > n - done || literal > static_cast<size_t>(end - in)) Damaged();
    memcpy(out + done, in, literal);
    in += literal;
    done += literal;
    size_t run = GetLength(in, end);
    if (run > n - done || (run > 0 && done < distance)) Damaged();
    // The repeating pattern starts `distance` bytes back; copying in doubling steps keeps its
    // phase, as every step is a whole number of patterns long.
    const size_t pattern = done - distance;
    while (run > 0) {
      const size_t step = std::min(run, done - pattern);
      memcpy(out + done, out + pattern, step);
      done += step;
      run -= step;
    }
  }
}

const uint8_t* DecodePiece(const uint8_t*& in, const uint8_t* end, size_t distance, uint8_t* buffer,
                           size_t n) {
  const uint8_t* data = in;
  if (n == 0 || GetLength(data, end) != n) {
    DecodeRuns(in, end, distance, buffer, n);
    return buffer;
  }
  if (static_cast<size_t>(end - data) < n) Damaged();
  in = data + n;
  if (GetLength(in, end) != 0) Damaged();
  return data;
}

struct BandedTurn::Cell {
  RunBytes pending;  // compressed pieces not yet in the scratch file
  bool raw = false;  // whether the last piece was stored raw
  std::vector<std::pair<uint64_t, uint64_t>> spilled;  // offset and length in the scratch file
};

BandedTurn::BandedTurn(uint32_t width, uint32_t height, uint32_t pixel_bits, uint16_t planes,
                       int quarter_turns, uint32_t band_rows)
    : width_(width),
      height_(height),
      pixel_bits_(pixel_bits),
      planes_(planes),
      turns_(((quarter_turns % 4) + 4) % 4),
      band_rows_(std::max<uint32_t>(band_rows, 1)),
      distance_(pixel_bits % 8 == 0 ? pixel_bits / 8 : 1) {
  bands_ = (this->height() + band_rows_ - 1) / band_rows_;
}

BandedTurn::~BandedTurn() = default;

uint32_t BandedTurn::width() const { return turns_ % 2 == 1 ? height_ : width_; }
uint32_t BandedTurn::height() const { return turns_ % 2 == 1 ? width_ : height_; }

uint64_t BandedTurn::stored_bytes() const { return pending_bytes_ + spilled_bytes_; }

BandedTurn::Span BandedTurn::SpanOfBand(size_t band) const {
  // Turned rows come from source columns (quarter turns) or source rows (else); a clockwise
  // quarter turn and no turn take them in order, the others from the far end.
  const uint32_t total = turns_ % 2 == 1 ? width_ : height_;
  const uint32_t offset = static_cast<uint32_t>(band * band_rows_);
  const uint32_t count = std::min(band_rows_, total - offset);
  if (turns_ == 0 || turns_ == 1) return {offset, count};
  return {total - offset - count, count};
}

void BandedTurn::AddPlane(const RowSupplier& next_row) {
  BeginPlane();
  for (uint32_t y = 0; y < height_; ++y) AddRow(next_row());
  // The memory kept for filling spilled cells again is not needed any more.
  for (Cell& cell : cells_.back()) {
    if (turns_ % 2 == 1 && !cell.spilled.empty()) cell.pending.shrink_to_fit();
  }
}

void BandedTurn::BeginPlane() {
  cells_.emplace_back(bands_);
  next_row_ = 0;
  if (spans_.empty()) {
    for (size_t band = 0; band < bands_; ++band) spans_.push_back(SpanOfBand(band));
  }
}

void BandedTurn::AddRow(const uint8_t* row) {
  std::vector<Cell>& cells = cells_.back();
  const uint64_t before = pending_bytes_;
  // A band whose last piece was raw has its next one judged from a probe, but every eighth row
  // in full: where a noisy area gives way to a compressible one, it is run-coded again soon.
  const bool probe = next_row_ % 8 != 0;
  if (turns_ % 2 == 1) {
    const size_t row_bytes = RowBytes(width_, pixel_bits_);
    for (size_t band = 0; band < bands_; ++band) {
      const size_t first_bit = size_t{spans_[band].first} * pixel_bits_;
      const size_t bits = size_t{spans_[band].count} * pixel_bits_;
      const size_t bytes = (bits + 7) / 8;
      Cell& cell = cells[band];
      RunBytes& pending = cell.pending;
      const size_t size = pending.size();
      const uint8_t* piece = row + first_bit / 8;
      if (first_bit % 8 != 0) {
        piece_.resize(bytes);
        ExtractBits(row, row_bytes, first_bit, bits, piece_.data());
        piece = piece_.data();
      }
      cell.raw = EncodeRuns(piece, bytes, distance_, pending, cell.raw && probe);
      pending_bytes_ += pending.size() - size;
    }
  } else {
    const uint32_t from_start = turns_ == 0 ? next_row_ : height_ - 1 - next_row_;
    Cell& cell = cells[from_start / band_rows_];
    RunBytes& pending = cell.pending;
    const size_t size = pending.size();
    cell.raw =
        EncodeRuns(row, RowBytes(width_, pixel_bits_), distance_, pending, cell.raw && probe);
    pending_bytes_ += pending.size() - size;
  }
  ++next_row_;
  if (pending_bytes_ > before && pending_bytes_ > TurnBandBytes()) Spill();
}

void BandedTurn::Spill() {
  if (!scratch_) scratch_.emplace(platform::ScratchFile::Create());
  // Every band of the plane being added grows again (when the turn cuts its rows) and keeps its
  // memory: memory freed and taken again would be cleared by the system every time.
  const bool refilled = turns_ % 2 == 1;
  for (std::vector<Cell>& cells : cells_) {
    const bool keep = refilled && &cells == &cells_.back();
    for (Cell& cell : cells) {
      if (cell.pending.empty()) continue;
      scratch_->WriteAt(spilled_bytes_, {cell.pending.data(), cell.pending.size()});
      cell.spilled.emplace_back(spilled_bytes_, cell.pending.size());
      spilled_bytes_ += cell.pending.size();
      if (keep) {
        cell.pending.clear();
      } else {
        cell.pending = {};
      }
    }
  }
  pending_bytes_ = 0;
}

void BandedTurn::DecodeBand(uint16_t plane, size_t band, PixelBuffer& out) {
  const Cell& cell = cells_.at(plane).at(band);
  const Span span = SpanOfBand(band);
  const bool odd = turns_ % 2 == 1;
  const uint32_t piece_width = odd ? span.count : width_;
  const uint32_t rows = odd ? height_ : span.count;
  const size_t piece_bytes = RowBytes(piece_width, pixel_bits_);
  std::vector<uint8_t> row(piece_bytes);
  std::vector<uint8_t> chunk;
  size_t next_extent = 0;
  bool pending_taken = false;
  const uint8_t* in = nullptr;
  const uint8_t* end = nullptr;
  DecodeTurnedInto(
      piece_width, rows, pixel_bits_, turns_,
      [&]() -> const uint8_t* {
        if (in == end) {
          if (next_extent < cell.spilled.size()) {
            const auto [offset, length] = cell.spilled[next_extent++];
            chunk.resize(length);
            scratch_->ReadAt(offset, chunk);
            in = chunk.data();
            end = in + chunk.size();
          } else if (!pending_taken) {
            pending_taken = true;
            in = cell.pending.data();
            end = in + cell.pending.size();
          }
          if (in == end) Damaged();
        }
        return DecodePiece(in, end, distance_, row.data(), piece_bytes);
      },
      out);
}

const PixelBuffer& BandedTurn::Band(uint16_t plane, uint32_t first_row) {
  DecodeBand(plane, first_row / band_rows_, band_);
  return band_;
}

const std::vector<PixelBuffer>& BandedTurn::Bands(uint32_t first_row) {
  band_ = {};  // one band buffer per plane here; the single one is not needed meanwhile
  all_planes_.resize(planes_);
  for (uint16_t plane = 0; plane < planes_; ++plane) {
    DecodeBand(plane, first_row / band_rows_, all_planes_[plane]);
  }
  return all_planes_;
}

}  // namespace plotspool
