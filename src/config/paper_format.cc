#include "config/paper_format.h"

#include <cstdint>
#include <exception>

#include "base/convert.h"
#include "base/error.h"
#include "config/printer_profile.h"
#include "imaging/host_form.h"
#include "util/message_loop.h"

namespace plotspool {

namespace {

struct SizeClass {
  const char* code;
  double lower_mm;
  double upper_mm;
};

// Tested in this order; the inch classes are held with the precision shown.
constexpr SizeClass kSizeClasses[] = {
    {"E", 1106.423976, 1128.775975}, {"D", 854.963976, 872.235975}, {"C", 553.211988, 564.387988},
    {"B", 427.481988, 436.117988},   {"A", 276.605994, 282.193994}, {"A0", 1177.11, 1200.89},
    {"A1", 832.59, 849.41},          {"A2", 588.06, 599.94},        {"A3", 415.8, 424.2},
    {"A4", 294.03, 299.97},
};

using R = PrinterProfileRecord;

struct FormatKeys {
  const char* code;
  std::string R::*change;
  std::string R::*orientation;
  std::string R::*paper_number;
};

// Compared in this order; A0 also serves every value that is no code.
constexpr FormatKeys kFormatKeys[] = {
    {"E", &R::sChangeE, &R::sOrientationE, &R::sPN_E},
    {"D", &R::sChangeD, &R::sOrientationD, &R::sPN_D},
    {"C", &R::sChangeC, &R::sOrientationC, &R::sPN_C},
    {"B", &R::sChangeB, &R::sOrientationB, &R::sPN_B},
    {"A", &R::sChangeA, &R::sOrientationA, &R::sPN_A},
    {"A0", &R::sChangeA0, &R::sOrientationA0, &R::sPN_A0},
    {"A1", &R::sChangeA1, &R::sOrientationA1, &R::sPN_A1},
    {"A2", &R::sChangeA2, &R::sOrientationA2, &R::sPN_A2},
    {"A3", &R::sChangeA3, &R::sOrientationA3, &R::sPN_A3},
    {"A4", &R::sChangeA4, &R::sOrientationA4, &R::sPN_A4},
};

const FormatKeys& KeysFor(const std::string& code) {
  for (const FormatKeys& keys : kFormatKeys) {
    if (code == keys.code) return keys;
  }
  return kFormatKeys[5];  // A0
}

}  // namespace

std::string ClassifyLongSide(double long_side_mm) {
  for (const SizeClass& size_class : kSizeClasses) {
    if (size_class.lower_mm <= long_side_mm && long_side_mm <= size_class.upper_mm) {
      return size_class.code;
    }
  }
  return {};
}

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

FormatRule LookupFormatRule(const std::string& detected_format) {
  const FormatKeys& keys = KeysFor(detected_format);
  return {PrinterProfile.*keys.change, PrinterProfile.*keys.orientation};
}

std::string LookupPaperNumber(const std::string& target_format) {
  return PrinterProfile.*KeysFor(target_format).paper_number;
}

}  // namespace plotspool
