#include "platform/printer.h"

#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/win32/win32_error.h"

namespace plotspool::platform {
namespace {

// A band of the picture goes to the driver in one call; big enough that a large plot is not
// thousands of calls, small enough that memory stays flat.
constexpr size_t kBandBytes = 8 * 1024 * 1024;

// Paper sizes from the driver are in tenths of a millimetre; a media name's size matches a
// driver paper when both sides agree to within this.
constexpr double kSizeToleranceMm = 1.0;

// The print system itself cannot answer, as opposed to a printer or job it does not know.
bool SpoolerDown(DWORD code) {
  return code == RPC_S_SERVER_UNAVAILABLE || code == RPC_S_SERVER_TOO_BUSY ||
         code == ERROR_SERVICE_NOT_ACTIVE || code == RPC_S_CALL_FAILED;
}

std::string LastErrorText(DWORD code) { return ErrorFromWin32(code).description(); }

[[noreturn]] void ThrowPrintError(const std::string& what, DWORD code) {
  const std::string description = what + ": " + LastErrorText(code);
  if (SpoolerDown(code)) throw PrintSystemUnavailable(description);
  throw RuntimeError(kPrinterError, description);
}

class PrinterHandle {
 public:
  // Opens `name`; an invalid handle when the spooler does not know it (error in last_error()).
  explicit PrinterHandle(const std::string& name) {
    if (!OpenPrinterA(const_cast<char*>(name.c_str()), &handle_, nullptr)) {
      handle_ = nullptr;
      error_ = GetLastError();
    }
  }
  PrinterHandle(PrinterHandle&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)), error_(other.error_) {}
  ~PrinterHandle() {
    if (handle_ != nullptr) ClosePrinter(handle_);
  }
  PrinterHandle(const PrinterHandle&) = delete;
  PrinterHandle& operator=(const PrinterHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  DWORD last_error() const { return error_; }

 private:
  HANDLE handle_ = nullptr;
  DWORD error_ = 0;
};

// Opens `queue` or throws: PrintSystemUnavailable when the spooler cannot be asked, else 482.
PrinterHandle OpenQueue(const std::string& queue) {
  PrinterHandle printer(queue);
  if (!printer.valid()) {
    const DWORD code = printer.last_error();
    if (SpoolerDown(code)) {
      throw PrintSystemUnavailable("the print spooler cannot open " + queue + ": " +
                                   LastErrorText(code));
    }
    throw RuntimeError(kPrinterError,
                       "opening printer " + queue + " failed: " + LastErrorText(code));
  }
  return printer;
}

struct DcDelete {
  void operator()(HDC dc) const { DeleteDC(dc); }
};
using UniqueDc = std::unique_ptr<std::remove_pointer_t<HDC>, DcDelete>;

// The winspool functions that fill a caller's buffer of unknown size: asked once for the size,
// then again with room. False with GetLastError() set on failure.
template <typename Call>
bool FillBuffer(std::vector<BYTE>& buffer, Call call) {
  DWORD needed = 0;
  buffer.assign(1, 0);
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (call(buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) return true;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return false;
    buffer.assign(needed, 0);  // the list can grow between the two calls
  }
  return false;
}

// The printer's default settings, with `paper` (when non-zero) and `orientation` merged in by
// the driver. Empty when the driver gives none.
std::vector<BYTE> DeviceMode(const PrinterHandle& printer, const std::string& device, int16_t paper,
                             int orientation) {
  char* name = const_cast<char*>(device.c_str());
  const LONG size = DocumentPropertiesA(nullptr, printer.get(), name, nullptr, nullptr, 0);
  if (size <= 0) return {};
  std::vector<BYTE> buffer(static_cast<size_t>(size), 0);
  auto* mode = reinterpret_cast<DEVMODEA*>(buffer.data());
  if (DocumentPropertiesA(nullptr, printer.get(), name, mode, nullptr, DM_OUT_BUFFER) != IDOK) {
    return {};
  }
  if (paper != 0) {
    mode->dmPaperSize = paper;
    mode->dmFields |= DM_PAPERSIZE;
    // A driver prefers an explicit length and width over the paper number.
    mode->dmFields &= ~(DM_PAPERLENGTH | DM_PAPERWIDTH | DM_FORMNAME);
  }
  mode->dmOrientation =
      static_cast<short>(orientation == kLandscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT);
  mode->dmFields |= DM_ORIENTATION;
  std::vector<BYTE> merged(buffer.size(), 0);
  if (DocumentPropertiesA(nullptr, printer.get(), name, reinterpret_cast<DEVMODEA*>(merged.data()),
                          mode, DM_IN_BUFFER | DM_OUT_BUFFER) != IDOK) {
    return buffer;
  }
  return merged;
}

const DEVMODEA* AsDeviceMode(const std::vector<BYTE>& buffer) {
  return buffer.empty() ? nullptr : reinterpret_cast<const DEVMODEA*>(buffer.data());
}

// Paper numbers, names and sizes (tenths of a millimetre, portrait) the driver offers.
struct DriverPaper {
  int16_t number = 0;
  std::string name;
  POINT size{};
};

// The port `device` prints to; empty when the spooler cannot tell.
std::string PortOf(const std::string& device) {
  const PrinterHandle printer(device);
  if (!printer.valid()) return {};
  std::vector<BYTE> buffer;
  const bool found = FillBuffer(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
    return GetPrinterA(printer.get(), 2, data, size, needed) != 0;
  });
  if (!found) return {};
  const char* port = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data())->pPortName;
  return port != nullptr ? port : "";
}

std::vector<DriverPaper> DriverPapers(const InstalledPrinter& printer) {
  const char* device = printer.device_name.c_str();
  const std::string port_name = PortOf(printer.device_name);
  const char* port = port_name.empty() ? nullptr : port_name.c_str();
  const int count = DeviceCapabilitiesA(device, port, DC_PAPERS, nullptr, nullptr);
  if (count <= 0) return {};
  std::vector<WORD> numbers(count);
  std::vector<char> names(static_cast<size_t>(count) * 64, '\0');
  std::vector<POINT> sizes(count);
  if (DeviceCapabilitiesA(device, port, DC_PAPERS, reinterpret_cast<char*>(numbers.data()),
                          nullptr) != count) {
    return {};
  }
  const bool named =
      DeviceCapabilitiesA(device, port, DC_PAPERNAMES, names.data(), nullptr) == count;
  const bool sized = DeviceCapabilitiesA(device, port, DC_PAPERSIZE,
                                         reinterpret_cast<char*>(sizes.data()), nullptr) == count;
  std::vector<DriverPaper> papers(count);
  for (int i = 0; i < count; ++i) {
    papers[i].number = static_cast<int16_t>(numbers[i]);
    if (named) papers[i].name.assign(&names[i * 64], strnlen(&names[i * 64], 64));
    if (sized) papers[i].size = sizes[i];
  }
  return papers;
}

// The sheet and its unprintable margins as the driver lays them out for `paper` in portrait;
// nullopt when the driver cannot tell.
std::optional<MediaSize> MeasurePaper(const InstalledPrinter& printer, int16_t paper) {
  const PrinterHandle handle(printer.device_name);
  if (!handle.valid()) return std::nullopt;
  const std::vector<BYTE> mode = DeviceMode(handle, printer.device_name, paper, kPortrait);
  const UniqueDc dc(CreateICA(printer.driver_name.c_str(), printer.device_name.c_str(), nullptr,
                              AsDeviceMode(mode)));
  if (!dc) return std::nullopt;
  const double dpi_x = GetDeviceCaps(dc.get(), LOGPIXELSX);
  const double dpi_y = GetDeviceCaps(dc.get(), LOGPIXELSY);
  const int sheet_width = GetDeviceCaps(dc.get(), PHYSICALWIDTH);
  const int sheet_height = GetDeviceCaps(dc.get(), PHYSICALHEIGHT);
  if (dpi_x <= 0 || dpi_y <= 0 || sheet_width <= 0 || sheet_height <= 0) return std::nullopt;
  const int left = GetDeviceCaps(dc.get(), PHYSICALOFFSETX);
  const int top = GetDeviceCaps(dc.get(), PHYSICALOFFSETY);
  const int width = GetDeviceCaps(dc.get(), HORZRES);
  const int height = GetDeviceCaps(dc.get(), VERTRES);
  MediaSize size;
  size.width_mm = sheet_width * 25.4 / dpi_x;
  size.height_mm = sheet_height * 25.4 / dpi_y;
  size.left_mm = left * 25.4 / dpi_x;
  size.top_mm = top * 25.4 / dpi_y;
  size.right_mm = std::max(0, sheet_width - left - width) * 25.4 / dpi_x;
  size.bottom_mm = std::max(0, sheet_height - top - height) * 25.4 / dpi_y;
  return size;
}

// A bitmap header with room for a full palette.
struct DibHeader {
  BITMAPINFOHEADER header;
  RGBQUAD palette[256];
};

RGBQUAD Quad(uint32_t rgb) {
  return RGBQUAD{static_cast<BYTE>(rgb & 0xFF), static_cast<BYTE>((rgb >> 8) & 0xFF),
                 static_cast<BYTE>((rgb >> 16) & 0xFF), 0};
}

uint8_t Clamp8(double value) {
  return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// Turns packed rows of a RasterRowSource into rows of a device-independent bitmap the driver
// takes: 1-bit for bilevel gray, 8-bit with a palette for gray and indexed pictures, 24-bit for
// colour (CMYK and Lab converted to RGB).
class DibConverter {
 public:
  explicit DibConverter(const RasterFormat& format) : format_(format) {
    const uint8_t bits = format.bits_per_sample;
    const uint8_t samples = format.samples_per_pixel;
    const bool whole = bits == 8 || bits == 16;
    switch (format.colours) {
      case RasterColours::kDevice:
        if (samples == 1 && (whole || bits == 1 || bits == 2 || bits == 4)) {
          dib_bits_ = bits == 1 ? 1 : 8;
          const int levels = bits == 1 ? 2 : 256;
          for (int i = 0; i < levels; ++i) {
            const int value = i * 255 / (levels - 1);
            const uint8_t gray = static_cast<uint8_t>(format.min_is_white ? 255 - value : value);
            palette_.push_back(gray * 0x010101u);
          }
        } else if ((samples == 3 || samples == 4) && whole) {
          dib_bits_ = 24;
        }
        break;
      case RasterColours::kLab:
        if (samples == 3 && whole) dib_bits_ = 24;
        break;
      case RasterColours::kIndexed:
        if (samples == 1 && bits != 16 && !format.palette.empty() && format.palette.size() <= 256) {
          dib_bits_ = 8;
          palette_ = format.palette;
        }
        break;
    }
  }

  bool printable() const { return dib_bits_ != 0; }
  // Bytes of one bitmap row: rows are padded to whole 32-bit words.
  size_t stride() const { return ((static_cast<size_t>(format_.width) * dib_bits_ + 31) / 32) * 4; }

  void FillHeader(DibHeader& dib, uint32_t rows) const {
    std::memset(&dib, 0, sizeof dib);
    dib.header.biSize = sizeof(BITMAPINFOHEADER);
    dib.header.biWidth = static_cast<LONG>(format_.width);
    dib.header.biHeight = static_cast<LONG>(rows);  // bottom-up
    dib.header.biPlanes = 1;
    dib.header.biBitCount = static_cast<WORD>(dib_bits_);
    dib.header.biCompression = BI_RGB;
    dib.header.biClrUsed = static_cast<DWORD>(palette_.size());
    for (size_t i = 0; i < palette_.size(); ++i) dib.palette[i] = Quad(palette_[i]);
  }

  void Convert(std::span<const uint8_t> row, uint8_t* out) const {
    const uint32_t width = format_.width;
    if (dib_bits_ == 1) {
      std::memcpy(out, row.data(), row.size());
      return;
    }
    if (dib_bits_ == 8) {
      for (uint32_t x = 0; x < width; ++x) out[x] = Sample8(row, x, 0);
      return;
    }
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t r, g, b;
      if (format_.colours == RasterColours::kLab) {
        LabToRgb(row, x, r, g, b);
      } else if (format_.samples_per_pixel == 4) {
        const int k = 255 - Sample8(row, x, 3);
        r = static_cast<uint8_t>((255 - Sample8(row, x, 0)) * k / 255);
        g = static_cast<uint8_t>((255 - Sample8(row, x, 1)) * k / 255);
        b = static_cast<uint8_t>((255 - Sample8(row, x, 2)) * k / 255);
      } else {
        r = Sample8(row, x, 0);
        g = Sample8(row, x, 1);
        b = Sample8(row, x, 2);
      }
      out[3 * x] = b;
      out[3 * x + 1] = g;
      out[3 * x + 2] = r;
    }
  }

 private:
  // Sample `s` of pixel `x`: a palette index for indexed pictures, else scaled to 0..255 (the
  // high byte of a 16-bit sample).
  uint8_t Sample8(std::span<const uint8_t> row, uint32_t x, int s) const {
    const uint8_t bits = format_.bits_per_sample;
    const size_t index = static_cast<size_t>(x) * format_.samples_per_pixel + s;
    if (bits == 8) return row[index];
    if (bits == 16) return row[index * 2];
    const size_t bit = index * bits;
    const unsigned value = (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
    if (format_.colours == RasterColours::kIndexed) return static_cast<uint8_t>(value);
    return static_cast<uint8_t>(value * 255 / ((1u << bits) - 1));
  }

  double SampleUnit(std::span<const uint8_t> row, uint32_t x, int s) const {
    const size_t index = static_cast<size_t>(x) * 3 + s;
    if (format_.bits_per_sample == 16)
      return ((row[index * 2] << 8) | row[index * 2 + 1]) / 65535.0;
    return row[index] / 255.0;
  }

  // L*a*b* relative to the D50 white point to sRGB.
  void LabToRgb(std::span<const uint8_t> row, uint32_t x, uint8_t& r, uint8_t& g,
                uint8_t& b) const {
    const auto& range = format_.lab_range;
    const double l = SampleUnit(row, x, 0) * 100;
    const double a = range[0] + SampleUnit(row, x, 1) * (range[1] - range[0]);
    const double bb = range[2] + SampleUnit(row, x, 2) * (range[3] - range[2]);
    const double fy = (l + 16) / 116;
    const double fx = fy + a / 500;
    const double fz = fy - bb / 200;
    auto inverse = [](double t) {
      return t > 6.0 / 29 ? t * t * t : 3 * 36.0 / 841 * (t - 4.0 / 29);
    };
    const double xx = 0.9642 * inverse(fx);
    const double yy = inverse(fy);
    const double zz = 0.8249 * inverse(fz);
    // The D50-adapted sRGB matrix.
    const double lr = 3.1338561 * xx - 1.6168667 * yy - 0.4906146 * zz;
    const double lg = -0.9787684 * xx + 1.9161415 * yy + 0.0334540 * zz;
    const double lb = 0.0719453 * xx - 0.2289914 * yy + 1.4052427 * zz;
    auto gamma = [](double c) {
      c = std::clamp(c, 0.0, 1.0);
      return 255 * (c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055);
    };
    r = Clamp8(gamma(lr));
    g = Clamp8(gamma(lg));
    b = Clamp8(gamma(lb));
  }

  const RasterFormat& format_;
  int dib_bits_ = 0;
  std::vector<uint32_t> palette_;
};

// One document being spooled; aborted on destruction until Finish() succeeds, so the spooler
// never keeps half a page.
class SpooledDocument {
 public:
  SpooledDocument(HDC dc, std::string_view title, const std::string& queue) : dc_(dc) {
    const std::string name(title);
    DOCINFOA info{};
    info.cbSize = sizeof info;
    info.lpszDocName = name.c_str();
    const int job = StartDocA(dc_, &info);
    if (job <= 0) ThrowPrintError("starting the print job on " + queue + " failed", GetLastError());
    job_ = job;
  }
  ~SpooledDocument() {
    if (!finished_) AbortDoc(dc_);
  }
  SpooledDocument(const SpooledDocument&) = delete;
  SpooledDocument& operator=(const SpooledDocument&) = delete;

  int job() const { return job_; }
  void Finish(const std::string& queue) {
    if (EndDoc(dc_) <= 0)
      ThrowPrintError("the spooler refused the page for " + queue, GetLastError());
    finished_ = true;
  }

 private:
  HDC dc_;
  int job_ = 0;
  bool finished_ = false;
};

// Streams `picture` into the device rectangle in bands of rows; each band's top and bottom are
// the same rounding of its row numbers, so bands meet without gaps or overlaps.
void DrawBands(HDC dc, RasterRowSource& picture, int left, int top, int width, int height) {
  const RasterFormat& format = picture.format();
  const DibConverter converter(format);
  if (!converter.printable()) {
    throw RuntimeError(kInvalidPropertyValue, "picture format cannot be printed");
  }
  if (format.width == 0 || format.height == 0 || width <= 0 || height <= 0) {
    throw RuntimeError(kInvalidPropertyValue, "empty page or picture");
  }
  if (!picture.Rewind()) throw RuntimeError(kInputPastEndOfFile, "picture cannot be read");
  const size_t stride = converter.stride();
  const uint32_t band_rows =
      static_cast<uint32_t>(std::clamp<size_t>(kBandBytes / stride, 1, format.height));
  std::vector<uint8_t> band(stride * band_rows, 0);
  std::vector<uint8_t> row(format.RowBytes());
  auto dib = std::make_unique<DibHeader>();
  SetStretchBltMode(dc, HALFTONE);
  SetBrushOrgEx(dc, 0, 0, nullptr);
  auto device_y = [&](uint32_t line) {
    return top + static_cast<int>(static_cast<int64_t>(height) * line / format.height);
  };
  for (uint32_t first = 0; first < format.height; first += band_rows) {
    const uint32_t rows = std::min(band_rows, format.height - first);
    for (uint32_t i = 0; i < rows; ++i) {
      if (!picture.NextRow(row)) {
        throw RuntimeError(kInputPastEndOfFile, "picture ended after " + std::to_string(first + i) +
                                                    " of " + std::to_string(format.height) +
                                                    " rows");
      }
      // Bottom-up: the band's first row is its last bitmap row.
      converter.Convert(row, band.data() + stride * (rows - 1 - i));
    }
    const int y0 = device_y(first);
    const int y1 = device_y(first + rows);
    if (y1 == y0) continue;  // the band shrinks to nothing at this scale
    converter.FillHeader(*dib, rows);
    if (StretchDIBits(dc, left, y0, width, y1 - y0, 0, 0, static_cast<int>(format.width),
                      static_cast<int>(rows), band.data(),
                      reinterpret_cast<const BITMAPINFO*>(dib.get()), DIB_RGB_COLORS,
                      SRCCOPY) == 0) {
      throw RuntimeError(kPrinterError,
                         "drawing the picture failed: " + LastErrorText(GetLastError()));
    }
  }
}

int TwipsToDevice(int32_t twips, int dpi) {
  return static_cast<int>(std::lround(static_cast<double>(twips) * dpi / 1440));
}

// Lists the spooler's printers; throws PrintSystemUnavailable when it cannot be asked.
std::vector<BYTE> EnumeratePrinters(DWORD& count) {
  std::vector<BYTE> buffer;
  count = 0;
  const bool listed = FillBuffer(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
    return EnumPrintersA(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, data, size,
                         needed, &count) != 0;
  });
  if (!listed) {
    throw PrintSystemUnavailable("the print spooler does not list its printers: " +
                                 LastErrorText(GetLastError()));
  }
  return buffer;
}

constexpr struct {
  DWORD bit;
  const char* word;
} kJobStatusWords[] = {
    {JOB_STATUS_PAUSED, "job-paused"},        {JOB_STATUS_ERROR, "job-error"},
    {JOB_STATUS_OFFLINE, "printer-offline"},  {JOB_STATUS_PAPEROUT, "media-empty"},
    {JOB_STATUS_BLOCKED_DEVQ, "job-blocked"}, {JOB_STATUS_USER_INTERVENTION, "job-needs-attention"},
    {JOB_STATUS_DELETING, "job-canceled"},    {JOB_STATUS_DELETED, "job-canceled"},
    {JOB_STATUS_SPOOLING, "job-incoming"},
};

PrintJobStatus StatusOf(const JOB_INFO_1A& job) {
  PrintJobStatus status;
  status.job_id = static_cast<int>(job.JobId);
  const DWORD bits = job.Status;
  if (bits & (JOB_STATUS_DELETING | JOB_STATUS_DELETED)) {
    status.state = PrintJobState::kCanceled;
  } else if (bits & (JOB_STATUS_PRINTED | JOB_STATUS_COMPLETE)) {
    status.state = PrintJobState::kCompleted;
  } else if (bits & (JOB_STATUS_ERROR | JOB_STATUS_OFFLINE | JOB_STATUS_PAPEROUT |
                     JOB_STATUS_BLOCKED_DEVQ | JOB_STATUS_USER_INTERVENTION)) {
    status.state = PrintJobState::kStopped;
  } else if (bits & JOB_STATUS_PAUSED) {
    status.state = PrintJobState::kHeld;
  } else if (bits & JOB_STATUS_PRINTING) {
    status.state = PrintJobState::kProcessing;
  }
  for (const auto& word : kJobStatusWords) {
    if ((bits & word.bit) == 0 || status.reason.find(word.word) != std::string::npos) continue;
    if (!status.reason.empty()) status.reason += ", ";
    status.reason += word.word;
  }
  if (job.pStatus != nullptr && *job.pStatus != '\0') {
    if (!status.reason.empty()) status.reason += ", ";
    status.reason += job.pStatus;
  }
  return status;
}

// Job `job_id` of an open printer; nullopt when the printer does not know it.
std::optional<JOB_INFO_1A> FindJob(const PrinterHandle& printer, int job_id,
                                   std::vector<BYTE>& buffer) {
  const bool found = FillBuffer(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
    return GetJobA(printer.get(), static_cast<DWORD>(job_id), 1, data, size, needed) != 0;
  });
  if (!found) {
    const DWORD code = GetLastError();
    if (SpoolerDown(code)) {
      throw PrintSystemUnavailable("the print spooler cannot tell job " + std::to_string(job_id) +
                                   ": " + LastErrorText(code));
    }
    return std::nullopt;
  }
  return *reinterpret_cast<const JOB_INFO_1A*>(buffer.data());
}

}  // namespace

std::vector<InstalledPrinter> InstalledPrinters() {
  DWORD count = 0;
  const std::vector<BYTE> buffer = EnumeratePrinters(count);
  const auto* info = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data());
  std::vector<InstalledPrinter> printers;
  for (DWORD i = 0; i < count; ++i) {
    if (info[i].pPrinterName == nullptr) continue;
    printers.push_back(
        {info[i].pPrinterName, info[i].pDriverName != nullptr ? info[i].pDriverName : ""});
  }
  return printers;
}

bool PaperNumbersAreNative() { return true; }

void Printer::Select(const InstalledPrinter& printer) {
  selected_ = printer;
  orientation_ = kPortrait;
  picture_ = nullptr;
  paper_name_.clear();
  paper_.reset();
  paper_number_ = 0;
  const PrinterHandle handle(printer.device_name);
  if (!handle.valid()) return;
  const std::vector<BYTE> mode = DeviceMode(handle, printer.device_name, 0, kPortrait);
  const DEVMODEA* defaults = AsDeviceMode(mode);
  if (defaults == nullptr || (defaults->dmFields & DM_PAPERSIZE) == 0) return;
  paper_number_ = defaults->dmPaperSize;
  paper_ = MeasurePaper(printer, paper_number_);
  for (const DriverPaper& paper : DriverPapers(printer)) {
    if (paper.number == paper_number_) paper_name_ = paper.name;
  }
}

void Printer::SetPaperNumber(int16_t paper_number) {
  const std::string number = std::to_string(paper_number);
  if (!selected_) throw RuntimeError(kInvalidPropertyValue);
  for (const DriverPaper& paper : DriverPapers(*selected_)) {
    if (paper.number != paper_number) continue;
    const std::optional<MediaSize> size = MeasurePaper(*selected_, paper_number);
    if (!size) break;
    paper_number_ = paper_number;
    paper_name_ = paper.name.empty() ? number : paper.name;
    paper_ = size;
    return;
  }
  // The standard text: the job's error line glues the file name to it, as for any other step.
  throw RuntimeError(kInvalidPropertyValue);
}

// The driver knows papers only by number: a media name is matched to one by the size it states.
void Printer::SetPaper(std::string_view media_name) {
  const std::string name(media_name);
  const std::optional<MediaSize> wanted = MediaSizeFromName(name);
  if (selected_ && wanted) {
    for (const DriverPaper& paper : DriverPapers(*selected_)) {
      if (std::abs(paper.size.x / 10.0 - wanted->width_mm) <= kSizeToleranceMm &&
          std::abs(paper.size.y / 10.0 - wanted->height_mm) <= kSizeToleranceMm) {
        SetPaperNumber(paper.number);
        paper_name_ = name;
        return;
      }
    }
  }
  throw RuntimeError(kInvalidPropertyValue, "paper size of \"" + name + "\" unknown");
}

void Printer::EndDoc(std::string_view title, const std::function<void(int job_id)>& job_created) {
  RasterRowSource* picture = picture_;
  picture_ = nullptr;  // the page is empty again, however the send ends
  if (!selected_) throw RuntimeError(kPrinterError, "no printer selected");
  if (picture == nullptr) return;
  const std::string& queue = selected_->device_name;
  const PrinterHandle handle = OpenQueue(queue);
  const std::vector<BYTE> mode = DeviceMode(handle, queue, paper_number_, orientation_);
  const UniqueDc dc(
      CreateDCA(selected_->driver_name.c_str(), queue.c_str(), nullptr, AsDeviceMode(mode)));
  if (!dc) ThrowPrintError("opening a page on " + queue + " failed", GetLastError());
  const int dpi_x = GetDeviceCaps(dc.get(), LOGPIXELSX);
  const int dpi_y = GetDeviceCaps(dc.get(), LOGPIXELSY);

  SpooledDocument document(dc.get(), title, queue);
  if (job_created) job_created(document.job());
  if (StartPage(dc.get()) <= 0)
    ThrowPrintError("starting the page on " + queue + " failed", GetLastError());
  DrawBands(dc.get(), *picture, TwipsToDevice(left_, dpi_x), TwipsToDevice(top_, dpi_y),
            TwipsToDevice(width_, dpi_x), TwipsToDevice(height_, dpi_y));
  if (EndPage(dc.get()) <= 0)
    ThrowPrintError("ending the page on " + queue + " failed", GetLastError());
  document.Finish(queue);
}

PrintJobFate AskPrintJobFate(const std::string& queue, int job_id) {
  const PrinterHandle printer(queue);
  if (!printer.valid()) {
    if (SpoolerDown(printer.last_error())) {
      throw PrintSystemUnavailable("the print spooler cannot open " + queue + ": " +
                                   LastErrorText(printer.last_error()));
    }
    return PrintJobFate::kNotReceived;  // the queue is gone, and its jobs with it
  }
  std::vector<BYTE> buffer;
  const std::optional<JOB_INFO_1A> job = FindJob(printer, job_id, buffer);
  if (!job) return PrintJobFate::kNotReceived;
  if (job->Status & (JOB_STATUS_DELETING | JOB_STATUS_DELETED)) return PrintJobFate::kNotReceived;
  if (job->Status & JOB_STATUS_SPOOLING) {
    // A job still waiting for the rest of its page that will never come would only hold the queue.
    SetJobA(printer.get(), static_cast<DWORD>(job_id), 0, nullptr, JOB_CONTROL_DELETE);
    return PrintJobFate::kNotReceived;
  }
  return PrintJobFate::kReceived;
}

std::vector<PrintJobStatus> UnfinishedPrintJobs() {
  DWORD count = 0;
  const std::vector<BYTE> printers = EnumeratePrinters(count);
  const auto* info = reinterpret_cast<const PRINTER_INFO_2A*>(printers.data());
  std::vector<PrintJobStatus> statuses;
  for (DWORD i = 0; i < count; ++i) {
    if (info[i].pPrinterName == nullptr || info[i].cJobs == 0) continue;
    const PrinterHandle printer(info[i].pPrinterName);
    if (!printer.valid()) continue;  // gone since the list was made
    std::vector<BYTE> buffer;
    DWORD jobs = 0;
    const bool listed = FillBuffer(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
      return EnumJobsA(printer.get(), 0, info[i].cJobs + 16, 1, data, size, needed, &jobs) != 0;
    });
    if (!listed) {
      if (SpoolerDown(GetLastError())) {
        throw PrintSystemUnavailable("the print spooler cannot list its jobs: " +
                                     LastErrorText(GetLastError()));
      }
      continue;
    }
    const auto* job = reinterpret_cast<const JOB_INFO_1A*>(buffer.data());
    for (DWORD j = 0; j < jobs; ++j) {
      PrintJobStatus status = StatusOf(job[j]);
      if (status.state != PrintJobState::kCompleted && status.state != PrintJobState::kCanceled) {
        statuses.push_back(std::move(status));
      }
    }
  }
  return statuses;
}

std::optional<PrintJobStatus> AskPrintJobStatus(int job_id) {
  // Job numbers belong to the whole spooler, but a job is asked for through its printer.
  for (const InstalledPrinter& installed : InstalledPrinters()) {
    const PrinterHandle printer(installed.device_name);
    if (!printer.valid()) continue;
    std::vector<BYTE> buffer;
    if (const std::optional<JOB_INFO_1A> job = FindJob(printer, job_id, buffer)) {
      return StatusOf(*job);
    }
  }
  // The spooler drops a job from its queue once the job is printed, and keeps no history: a job
  // this service handed over whole and that has left the queue is taken as printed.
  PrintJobStatus gone;
  gone.job_id = job_id;
  gone.state = PrintJobState::kCompleted;
  gone.reason = "no longer in the queue";
  return gone;
}

std::optional<std::string> QueueStopReason(const std::string& queue) {
  const PrinterHandle printer = OpenQueue(queue);
  std::vector<BYTE> buffer;
  const bool found = FillBuffer(buffer, [&](BYTE* data, DWORD size, DWORD* needed) {
    return GetPrinterA(printer.get(), 2, data, size, needed) != 0;
  });
  if (!found) {
    throw PrintSystemUnavailable("the print spooler cannot tell queue " + queue + ": " +
                                 LastErrorText(GetLastError()));
  }
  static constexpr struct {
    DWORD bit;
    const char* word;
  } kStopped[] = {
      {PRINTER_STATUS_PAUSED, "paused"},
      {PRINTER_STATUS_ERROR, "error"},
      {PRINTER_STATUS_OFFLINE, "offline"},
      {PRINTER_STATUS_PAPER_OUT, "media-empty"},
      {PRINTER_STATUS_PAPER_JAM, "media-jam"},
      {PRINTER_STATUS_DOOR_OPEN, "door-open"},
      {PRINTER_STATUS_NOT_AVAILABLE, "not-available"},
      {PRINTER_STATUS_USER_INTERVENTION, "needs-attention"},
  };
  const DWORD status = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data())->Status;
  std::string reason;
  for (const auto& stop : kStopped) {
    if (status & stop.bit) reason += std::string(", ") + stop.word;
  }
  if (reason.empty()) return std::nullopt;
  return "printer-stopped" + reason;
}

std::optional<bool> QueueKnowsMedia(const std::string& queue, const std::string& media_name) {
  const std::optional<MediaSize> wanted = MediaSizeFromName(media_name);
  const std::vector<DriverPaper> papers = DriverPapers({queue, ""});
  if (papers.empty()) return std::nullopt;
  for (const DriverPaper& paper : papers) {
    if (paper.name == media_name) return true;
    if (wanted && std::abs(paper.size.x / 10.0 - wanted->width_mm) <= kSizeToleranceMm &&
        std::abs(paper.size.y / 10.0 - wanted->height_mm) <= kSizeToleranceMm) {
      return true;
    }
  }
  return false;
}

}  // namespace plotspool::platform
