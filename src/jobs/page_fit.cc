#include "jobs/page_fit.h"

#include <algorithm>

#include "base/convert.h"

namespace plotspool {
namespace {

double Divide(double dividend, double divisor) {
  if (divisor == 0) throw RuntimeError(kDivisionByZero);
  return dividend / divisor;
}

}  // namespace

void ComputePageFit(const std::string& effective_orientation, const std::string& long_side_mm,
                    const std::string& short_side_mm, int32_t page_width_twips,
                    int32_t page_height_twips, PageFit& fit, PendingError& pending) {
  const bool portrait = UpperCase(effective_orientation) == "H";
  SkipAndRemember(pending,
                  [&] { fit.image_width = TextToDouble(portrait ? short_side_mm : long_side_mm); });
  SkipAndRemember(
      pending, [&] { fit.image_height = TextToDouble(portrait ? long_side_mm : short_side_mm); });
  fit.page_width = page_width_twips / kTwipsPerMm;
  fit.page_height = page_height_twips / kTwipsPerMm;

  SkipAndRemember(pending, [&] { fit.ScaleFactor = Divide(fit.image_height, fit.page_height); });
  if (fit.ScaleFactor < 1) fit.ScaleFactor = 1;  // a small image is never enlarged

  fit.overflow_height = 0;
  bool width_overflows = false;
  SkipAndRemember(pending, [&] {
    width_overflows = fit.page_width < Divide(fit.image_width, fit.ScaleFactor);
  });
  if (width_overflows) {
    SkipAndRemember(pending, [&] { fit.ScaleFactor = Divide(fit.image_width, fit.page_width); });
    SkipAndRemember(pending,
                    [&] { fit.overflow_height = Divide(fit.image_height, fit.ScaleFactor); });
  }
  fit.fits = !(fit.page_height < fit.overflow_height);

  SkipAndRemember(pending, [&] { fit.print_width = Divide(fit.image_width, fit.ScaleFactor); });
  SkipAndRemember(pending, [&] { fit.print_height = Divide(fit.image_height, fit.ScaleFactor); });
}

FitSides SidesForFit(const PaperDetection& measured, const std::string& effective_orientation,
                     int32_t page_width_twips, int32_t page_height_twips) {
  if (measured.SizesKnown) return {measured.LongSideMm, measured.ShortSideMm};
  if (measured.LongSidePx <= 0 || measured.ShortSidePx <= 0) return {};
  const bool portrait = UpperCase(effective_orientation) == "H";
  const double width_px = portrait ? measured.ShortSidePx : measured.LongSidePx;
  const double height_px = portrait ? measured.LongSidePx : measured.ShortSidePx;
  // A hair under the page, so that the rounding of the texts can never make it overflow.
  const double mm_per_pixel = std::min(page_width_twips / kTwipsPerMm / width_px,
                                       page_height_twips / kTwipsPerMm / height_px) *
                              (1 - 1e-9);
  return {NumberToText(measured.LongSidePx * mm_per_pixel),
          NumberToText(measured.ShortSidePx * mm_per_pixel)};
}

}  // namespace plotspool
