// Paper-format detection: the image's long side, measured in millimetres, classified into the
// ten paper formats, and the profile lookups that follow from the format.
#ifndef PLOTSPOOL_CONFIG_PAPER_FORMAT_H_
#define PLOTSPOOL_CONFIG_PAPER_FORMAT_H_

#include <cstdint>
#include <string>

namespace plotspool {

// The code of the first size class whose window (nominal ±1 %, bounds inclusive) holds
// `long_side_mm`; empty when none does.
std::string ClassifyLongSide(double long_side_mm);

// What the measurement of one job's image found.
struct PaperDetection {
  std::string DetectedFormat;       // "A4".."A0", "A".."E"; empty when no class holds the long
                                    // side, the size is unknown or the image was not measured
  std::string DetectedOrientation;  // "Q" wider than high, "H" otherwise; empty when the image
                                    // could not be loaded
  bool SizesKnown = false;          // the image states a usable resolution
  std::string LongSideMm;           // text of a number; empty unless SizesKnown
  std::string ShortSideMm;
  int32_t LongSidePx = 0;  // the pixel sides, known whenever the orientation is
  int32_t ShortSidePx = 0;

  bool Measured() const { return !DetectedOrientation.empty(); }
};

// Measures the image at `path` through the host form's imaging control. The orientation comes
// from the pixel size alone, so an image without a usable resolution (missing, or 0) still has
// one; its sides in millimetres and so its format are then unknown. Nothing is kept between
// calls: every job is measured on its own.
PaperDetection DetectPaperFormat(const std::string& path);

struct FormatRule {
  std::string TargetFormat;       // the format the job is output as
  std::string WantedOrientation;  // "Q", "H" or empty = keep as detected
};

// The printer profile's sChange/sOrientation keys for `detected_format`, compared exactly; any
// other value, empty included, uses the A0 keys.
FormatRule LookupFormatRule(const std::string& detected_format);

// The profile's sPN key for `target_format`, compared exactly; any other value uses sPN_A0.
std::string LookupPaperNumber(const std::string& target_format);

}  // namespace plotspool

#endif  // PLOTSPOOL_CONFIG_PAPER_FORMAT_H_
