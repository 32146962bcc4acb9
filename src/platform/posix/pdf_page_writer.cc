#include "platform/posix/pdf_page_writer.h"

#include <zlib.h>

#include <array>
#include <charconv>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace plotspool::platform {
namespace {

constexpr size_t kChunkBytes = 64 * 1024;

// Collects output into chunks for the sink and counts the bytes for the cross-reference table.
class PdfOutput {
 public:
  explicit PdfOutput(const PdfByteSink& sink) : sink_(sink) { buffer_.reserve(kChunkBytes); }

  void Write(std::span<const uint8_t> bytes) {
    offset_ += bytes.size();
    while (!bytes.empty()) {
      const size_t take = std::min(bytes.size(), kChunkBytes - buffer_.size());
      buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + take);
      bytes = bytes.subspan(take);
      if (buffer_.size() == kChunkBytes) Flush();
    }
  }
  void Write(std::string_view text) {
    Write(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }
  void Flush() {
    if (buffer_.empty()) return;
    sink_(buffer_);
    buffer_.clear();
  }
  uint64_t offset() const { return offset_; }

 private:
  const PdfByteSink& sink_;
  std::vector<uint8_t> buffer_;
  uint64_t offset_ = 0;
};

// PDF has no exponent notation, and the writer must not follow the process locale.
std::string Number(double value) {
  std::array<char, 64> text;
  auto [end, ec] = std::to_chars(text.begin(), text.end(), value, std::chars_format::fixed, 4);
  if (ec != std::errc()) throw RuntimeError(kOverflow);
  std::string_view digits(text.data(), end - text.data());
  while (digits.ends_with('0')) digits.remove_suffix(1);
  if (digits.ends_with('.')) digits.remove_suffix(1);
  if (digits == "-0") return "0";
  return std::string(digits);
}

std::string Integer(uint64_t value) {
  std::array<char, 24> text;
  auto [end, ec] = std::to_chars(text.begin(), text.end(), value);
  return std::string(text.data(), end);
}

// The owner of one deflate stream.
class Deflater {
 public:
  explicit Deflater(int level) {
    if (deflateInit(&stream_, level) != Z_OK) throw RuntimeError(kInvalidProcedureCall, "zlib");
  }
  ~Deflater() { deflateEnd(&stream_); }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Compresses `input` (or finishes the stream) into `out`; returns the compressed bytes written.
  uint64_t Run(std::span<const uint8_t> input, bool finish, PdfOutput& out) {
    stream_.next_in = const_cast<Bytef*>(input.data());
    stream_.avail_in = static_cast<uInt>(input.size());
    uint64_t produced = 0;
    for (;;) {
      stream_.next_out = chunk_.data();
      stream_.avail_out = static_cast<uInt>(chunk_.size());
      const int rc = deflate(&stream_, finish ? Z_FINISH : Z_NO_FLUSH);
      if (rc == Z_STREAM_ERROR) throw RuntimeError(kInvalidProcedureCall, "zlib");
      const size_t have = chunk_.size() - stream_.avail_out;
      // deflate often produces nothing for a row: an empty write must never reach the sink.
      if (have > 0) out.Write(std::span<const uint8_t>(chunk_.data(), have));
      produced += have;
      if (finish ? rc == Z_STREAM_END : (stream_.avail_in == 0 && stream_.avail_out != 0)) break;
    }
    return produced;
  }

 private:
  z_stream stream_{};
  std::array<uint8_t, kChunkBytes> chunk_;
};

// The image's /ColorSpace value (with a /Decode where sample 0 is not the space's minimum), or
// empty when the format is not one a PDF image can carry.
std::string ColourSpace(const RasterFormat& format) {
  const uint8_t bits = format.bits_per_sample;
  const uint8_t samples = format.samples_per_pixel;
  const bool whole = bits == 8 || bits == 16;
  switch (format.colours) {
    case RasterColours::kDevice:
      if (samples == 1 && (whole || bits == 1 || bits == 2 || bits == 4)) {
        // DeviceGray's sample 0 is black; a picture whose 0 means white is mapped, not re-coded.
        return format.min_is_white ? "/DeviceGray /Decode [1 0]" : "/DeviceGray";
      }
      if (samples == 3 && whole) return "/DeviceRGB";
      if (samples == 4 && whole) return "/DeviceCMYK";
      return {};
    case RasterColours::kLab: {
      if (samples != 3 || !whole) return {};
      const auto& r = format.lab_range;
      // The white point of the ICC profile connection space, which TIFF Lab data is relative to.
      return "[/Lab << /WhitePoint [0.9642 1 0.8249] /Range [" + Number(r[0]) + " " + Number(r[1]) +
             " " + Number(r[2]) + " " + Number(r[3]) + "] >>]";
    }
    case RasterColours::kIndexed: {
      if (samples != 1 || bits == 16 || format.palette.empty() || format.palette.size() > 256) {
        return {};
      }
      static constexpr char kHex[] = "0123456789ABCDEF";
      std::string table;
      for (const uint32_t colour : format.palette) {
        for (const int shift : {20, 16, 12, 8, 4, 0}) table += kHex[(colour >> shift) & 0xF];
      }
      return "[/Indexed /DeviceRGB " + Integer(format.palette.size() - 1) + " <" + table + ">]";
    }
  }
  return {};
}

}  // namespace

void WritePdfPage(const PdfPage& page, RasterRowSource& picture, const PdfByteSink& sink,
                  int zlib_level) {
  const RasterFormat& format = picture.format();
  const std::string colour_space = ColourSpace(format);
  if (colour_space.empty()) {
    throw RuntimeError(kInvalidPropertyValue, "picture format cannot be printed");
  }
  if (format.width == 0 || format.height == 0 || !(page.width_pt > 0) || !(page.height_pt > 0)) {
    throw RuntimeError(kInvalidPropertyValue, "empty page or picture");
  }
  if (!picture.Rewind()) throw RuntimeError(kInputPastEndOfFile, "picture cannot be read");

  PdfOutput out(sink);
  std::array<uint64_t, 7> offsets{};  // objects 1..6
  auto begin_object = [&](int number) {
    offsets[number] = out.offset();
    out.Write(Integer(number) + " 0 obj\n");
  };

  // The binary comment marks the file as binary for tools that guess.
  out.Write("%PDF-1.4\n%\xE2\xE3\xCF\xD3\n");
  begin_object(1);
  out.Write("<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
  begin_object(2);
  out.Write("<< /Type /Pages /Kids [3 0 R] /Count 1 >>\nendobj\n");
  begin_object(3);
  out.Write("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + Number(page.width_pt) + " " +
            Number(page.height_pt) +
            "] /Resources << /XObject << /Im0 5 0 R >> >> /Contents 4 0 R >>\nendobj\n");

  // PDF's origin is the bottom left corner; with this matrix row 0 of the image is at the top.
  const double y = page.height_pt - page.picture_top_pt - page.picture_height_pt;
  const std::string content = "q " + Number(page.picture_width_pt) + " 0 0 " +
                              Number(page.picture_height_pt) + " " + Number(page.picture_left_pt) +
                              " " + Number(y) + " cm /Im0 Do Q\n";
  begin_object(4);
  out.Write("<< /Length " + Integer(content.size()) + " >>\nstream\n" + content +
            "endstream\nendobj\n");

  begin_object(5);
  std::string image = "<< /Type /XObject /Subtype /Image /Width " + Integer(format.width) +
                      " /Height " + Integer(format.height) + " /ColorSpace " + colour_space +
                      " /BitsPerComponent " + Integer(format.bits_per_sample);
  // The compressed length is known only at the end: it follows the stream as object 6.
  image += " /Filter /FlateDecode /Length 6 0 R >>\nstream\n";
  out.Write(image);

  Deflater deflater(zlib_level);
  std::vector<uint8_t> row(format.RowBytes());
  uint64_t stream_length = 0;
  for (uint32_t line = 0; line < format.height; ++line) {
    if (!picture.NextRow(row)) {
      throw RuntimeError(kInputPastEndOfFile, "picture ended after " + Integer(line) + " of " +
                                                  Integer(format.height) + " rows");
    }
    stream_length += deflater.Run(row, false, out);
  }
  stream_length += deflater.Run({}, true, out);
  out.Write("\nendstream\nendobj\n");
  begin_object(6);
  out.Write(Integer(stream_length) + "\nendobj\n");

  const uint64_t xref = out.offset();
  std::string table = "xref\n0 7\n0000000000 65535 f \n";
  for (int number = 1; number <= 6; ++number) {
    std::string entry = Integer(offsets[number]);
    if (entry.size() > 10) throw RuntimeError(kOverflow, "page too large for PDF");
    table += std::string(10 - entry.size(), '0') + entry + " 00000 n \n";
  }
  table += "trailer\n<< /Size 7 /Root 1 0 R >>\nstartxref\n" + Integer(xref) + "\n%%EOF\n";
  out.Write(table);
  out.Flush();
}

}  // namespace plotspool::platform
