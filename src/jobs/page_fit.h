// Scaling a job's image onto the printer's page: uniformly, never enlarged, height first and
// then width when the width still overflows.
#ifndef PLOTSPOOL_JOBS_PAGE_FIT_H_
#define PLOTSPOOL_JOBS_PAGE_FIT_H_

#include <cstdint>
#include <string>

#include "base/error.h"
#include "jobs/paper_detection.h"

namespace plotspool {

// Twips per millimetre, as the page size is divided by it.
inline constexpr double kTwipsPerMm = 56.7;

// All lengths in millimetres. The values live for one job: a step that fails keeps the value the
// field held before.
struct PageFit {
  double image_width = 0;
  double image_height = 0;
  double page_width = 0;
  double page_height = 0;
  double ScaleFactor = 0;
  double overflow_height = 0;
  double print_width = 0;
  double print_height = 0;
  bool fits = true;
};

// Runs the fit for `effective_orientation` ("H" portrait after upper-casing, anything else
// landscape) with the measured sides `long_side_mm`/`short_side_mm` (text) and the page size in
// twips. Each failing step (a page size of 0, a side that is no number) is skipped and recorded
// in `pending`; the computation goes on with the values it has.
void ComputePageFit(const std::string& effective_orientation, const std::string& long_side_mm,
                    const std::string& short_side_mm, int32_t page_width_twips,
                    int32_t page_height_twips, PageFit& fit, PendingError& pending);

// The image's long and short side in millimetres, as text, for ComputePageFit: the measured
// ones when the image states its resolution. Without one the file says nothing about its
// physical size, so the pixel sides are scaled to just fill the page of `page_width_twips` x
// `page_height_twips` in `effective_orientation` (arranged as ComputePageFit arranges them):
// printed as large as the page allows, never cut. Empty texts when the image was not measured.
struct FitSides {
  std::string long_side_mm;
  std::string short_side_mm;
};
FitSides SidesForFit(const PaperDetection& measured, const std::string& effective_orientation,
                     int32_t page_width_twips, int32_t page_height_twips);

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_PAGE_FIT_H_
