// The measurement of a job's image: its orientation and pixel sides, its sides in millimetres when
// the image states a resolution, and the paper format its long side falls into.
#ifndef PLOTSPOOL_JOBS_PAPER_DETECTION_H_
#define PLOTSPOOL_JOBS_PAPER_DETECTION_H_

#include <cstdint>
#include <string>

namespace plotspool {

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

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_PAPER_DETECTION_H_
