// What the page description is on every print system: the paper's orientation, its printable
// size and the one picture; the back ends send it.
#include "platform/printer.h"

#include <cmath>
#include <string>

#include "base/error.h"

namespace plotspool::platform {
namespace {

int32_t MmToTwips(double mm) {
  const double twips = std::round(mm * 1440 / 25.4);
  return twips > 0 ? static_cast<int32_t>(twips) : 0;
}

}  // namespace

void Printer::SetOrientation(int orientation) {
  if (orientation != kPortrait && orientation != kLandscape) {
    throw RuntimeError(kInvalidPropertyValue, "orientation " + std::to_string(orientation));
  }
  orientation_ = orientation;
}

int32_t Printer::PageWidthTwips() const {
  if (!paper_) return 0;
  const MediaSize page = orientation_ == kLandscape ? TurnedToLandscape(*paper_) : *paper_;
  return MmToTwips(page.width_mm - page.left_mm - page.right_mm);
}

int32_t Printer::PageHeightTwips() const {
  if (!paper_) return 0;
  const MediaSize page = orientation_ == kLandscape ? TurnedToLandscape(*paper_) : *paper_;
  return MmToTwips(page.height_mm - page.top_mm - page.bottom_mm);
}

void Printer::DrawPicture(RasterRowSource& picture, int32_t left, int32_t top, int32_t width,
                          int32_t height) {
  if (picture_ != nullptr) {
    throw RuntimeError(kInvalidProcedureCall, "the page already holds a picture");
  }
  if (width <= 0 || height <= 0) {
    throw RuntimeError(kInvalidPropertyValue, "picture rectangle is empty");
  }
  picture_ = &picture;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
}

Printer& CurrentPrinter() {
  static Printer printer;
  return printer;
}

}  // namespace plotspool::platform
