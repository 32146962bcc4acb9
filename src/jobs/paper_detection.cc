#include "jobs/paper_detection.h"

#include <cstdint>
#include <exception>

#include "base/convert.h"
#include "config/paper_format.h"
#include "imaging/host_form.h"
#include "util/message_loop.h"

namespace plotspool {

PaperDetection DetectPaperFormat(const std::string& path) {
  PaperDetection result;
  try {
    ImagingControl& control = frmSample().oleImgEdit1();
    control.Load(path);
    YieldToMessageLoop();
    const int32_t width = control.ImageWidth();
    const int32_t height = control.ImageHeight();
    const bool landscape = width > height;
    result.DetectedOrientation = landscape ? "Q" : "H";
    result.LongSidePx = landscape ? width : height;
    result.ShortSidePx = landscape ? height : width;
    // The long side always goes with the horizontal resolution and the short side with the
    // vertical one, whichever way the image lies.
    const double long_dpi = control.HorizontalResolution();
    const double short_dpi = control.VerticalResolution();
    if (long_dpi > 0 && short_dpi > 0) {
      const double long_mm = result.LongSidePx / long_dpi * 25.4;
      result.SizesKnown = true;
      result.LongSideMm = NumberToText(long_mm);
      result.ShortSideMm = NumberToText(result.ShortSidePx / short_dpi * 25.4);
      result.DetectedFormat = ClassifyLongSide(long_mm);
    }
  } catch (const std::exception&) {
    return {};
  }
  try {
    frmSample().oleImgEdit1().Save();
    HostForm::Unload();
  } catch (const std::exception&) {
    // The measurement stands even when the save fails.
  }
  return result;
}

}  // namespace plotspool
