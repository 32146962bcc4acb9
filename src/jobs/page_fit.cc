#include "jobs/page_fit.h"

#include <cctype>

#include "util/convert.h"

namespace plotspool {
namespace {

double Divide(double dividend, double divisor) {
  if (divisor == 0) throw RuntimeError(kDivisionByZero);
  return dividend / divisor;
}

// One statement of the skip-and-remember regime: on failure the statement is skipped and the
// error becomes the pending one.
template <typename Step>
void Try(PendingError& pending, Step step) {
  try {
    step();
  } catch (const RuntimeError& error) {
    pending.Set(error);
  }
}

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void ComputePageFit(const std::string& effective_orientation, const std::string& long_side_mm,
                    const std::string& short_side_mm, int32_t page_width_twips,
                    int32_t page_height_twips, PageFit& fit, PendingError& pending) {
  const bool portrait = UpperCase(effective_orientation) == "H";
  Try(pending, [&] { fit.image_width = TextToDouble(portrait ? short_side_mm : long_side_mm); });
  Try(pending, [&] { fit.image_height = TextToDouble(portrait ? long_side_mm : short_side_mm); });
  fit.page_width = page_width_twips / kTwipsPerMm;
  fit.page_height = page_height_twips / kTwipsPerMm;

  Try(pending, [&] { fit.ScaleFactor = Divide(fit.image_height, fit.page_height); });
  if (fit.ScaleFactor < 1) fit.ScaleFactor = 1;  // a small image is never enlarged

  fit.overflow_height = 0;
  bool width_overflows = false;
  Try(pending,
      [&] { width_overflows = fit.page_width < Divide(fit.image_width, fit.ScaleFactor); });
  if (width_overflows) {
    Try(pending, [&] { fit.ScaleFactor = Divide(fit.image_width, fit.page_width); });
    Try(pending, [&] { fit.overflow_height = Divide(fit.image_height, fit.ScaleFactor); });
  }
  fit.fits = !(fit.page_height < fit.overflow_height);

  Try(pending, [&] { fit.print_width = Divide(fit.image_width, fit.ScaleFactor); });
  Try(pending, [&] { fit.print_height = Divide(fit.image_height, fit.ScaleFactor); });
}

}  // namespace plotspool
