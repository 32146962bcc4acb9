#include "imaging/tiff_measure.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "base/error.h"

namespace plotspool {
namespace {

struct Memory {
  std::string_view bytes;
  uint64_t position = 0;
};

tmsize_t Read(thandle_t handle, void* buffer, tmsize_t size) {
  auto* memory = static_cast<Memory*>(handle);
  if (size < 0 || memory->position >= memory->bytes.size()) return size < 0 ? -1 : 0;
  const uint64_t left = memory->bytes.size() - memory->position;
  const uint64_t n = std::min<uint64_t>(left, static_cast<uint64_t>(size));
  std::memcpy(buffer, memory->bytes.data() + memory->position, n);
  memory->position += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t Write(thandle_t, void*, tmsize_t) { return -1; }

toff_t Seek(thandle_t handle, toff_t offset, int whence) {
  auto* memory = static_cast<Memory*>(handle);
  uint64_t base = 0;
  if (whence == SEEK_CUR) base = memory->position;
  if (whence == SEEK_END) base = memory->bytes.size();
  memory->position = base + offset;
  return memory->position;
}

int Close(thandle_t) { return 0; }
toff_t Size(thandle_t handle) { return static_cast<Memory*>(handle)->bytes.size(); }
int Map(thandle_t, void**, toff_t*) { return 0; }
void Unmap(thandle_t, void*, toff_t) {}

struct TiffCloser {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};

double Resolution(TIFF* tif, ttag_t tag, uint16_t unit) {
  float value = 0;
  if (TIFFGetField(tif, tag, &value) != 1) return 0;
  if (!std::isfinite(value) || value <= 0) return 0;
  return unit == RESUNIT_CENTIMETER ? value * 2.54 : value;
}

}  // namespace

TiffMeasure MeasureTiffBytes(std::string_view bytes) {
  // libtiff's messages would go to stderr; the error thrown says what matters.
  static std::once_flag silenced;
  std::call_once(silenced, [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  });
  Memory memory{bytes};
  // "m": never map the caller's bytes.
  const std::unique_ptr<TIFF, TiffCloser> tif(
      TIFFClientOpen("member", "rm", &memory, Read, Write, Seek, Close, Size, Map, Unmap));
  if (!tif) throw RuntimeError(kInvalidPropertyValue, "Invalid property value (not a TIFF)");
  TiffMeasure measure;
  uint16_t unit = RESUNIT_INCH;
  if (TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &measure.width) != 1 ||
      TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &measure.height) != 1 || measure.width == 0 ||
      measure.height == 0) {
    throw RuntimeError(kInvalidPropertyValue, "Invalid property value (image has no pixels)");
  }
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_RESOLUTIONUNIT, &unit);
  measure.x_dpi = Resolution(tif.get(), TIFFTAG_XRESOLUTION, unit);
  measure.y_dpi = Resolution(tif.get(), TIFFTAG_YRESOLUTION, unit);
  return measure;
}

}  // namespace plotspool
