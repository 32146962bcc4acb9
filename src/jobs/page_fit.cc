#include "jobs/page_fit.h"

#include "util/convert.h"

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

}  // namespace plotspool
