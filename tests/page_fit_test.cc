#include "jobs/page_fit.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace plotspool {
namespace {

int32_t Twips(double mm) { return static_cast<int32_t>(mm * kTwipsPerMm + 0.5); }

PageFit Fit(const std::string& orientation, const std::string& long_mm, const std::string& short_mm,
            double page_width_mm, double page_height_mm, PendingError& pending) {
  PageFit fit;
  ComputePageFit(orientation, long_mm, short_mm, Twips(page_width_mm), Twips(page_height_mm), fit,
                 pending);
  return fit;
}

TEST(PageFitTest, SmallImageKeepsItsNaturalSize) {
  PendingError pending;
  const PageFit fit = Fit("Q", "200", "100", 400, 300, pending);
  EXPECT_FALSE(pending.IsSet());
  EXPECT_DOUBLE_EQ(fit.ScaleFactor, 1);
  EXPECT_NEAR(fit.print_width, 200, 1e-9);
  EXPECT_NEAR(fit.print_height, 100, 1e-9);
  EXPECT_TRUE(fit.fits);
}

TEST(PageFitTest, WidthWinsWhenItStillOverflowsAfterTheHeightStep) {
  PendingError pending;
  const PageFit fit = Fit("Q", "1000", "500", 420, 297, pending);
  EXPECT_NEAR(fit.ScaleFactor, 1000 / fit.page_width, 1e-12);
  EXPECT_NEAR(fit.ScaleFactor, 2.381, 0.001);
  EXPECT_NEAR(fit.print_width, 420, 0.01);
  EXPECT_NEAR(fit.print_height, 210, 0.01);
  EXPECT_NEAR(fit.overflow_height, 210, 0.01);
  EXPECT_TRUE(fit.fits);
}

TEST(PageFitTest, HeightFactorStaysWhenTheWidthFits) {
  PendingError pending;
  const PageFit fit = Fit("Q", "1189", "841", 420, 297, pending);
  EXPECT_NEAR(fit.ScaleFactor, 2.8316, 0.0001);
  EXPECT_NEAR(fit.print_width, 419.9, 0.05);
  EXPECT_NEAR(fit.print_height, 297, 0.01);
  EXPECT_DOUBLE_EQ(fit.overflow_height, 0);
}

TEST(PageFitTest, PortraitSwapsTheSidesAndTheTestIsCaseInsensitive) {
  PendingError pending;
  const PageFit fit = Fit("h", "841", "594", 594, 841, pending);
  EXPECT_DOUBLE_EQ(fit.image_width, 594);
  EXPECT_DOUBLE_EQ(fit.image_height, 841);
  EXPECT_NEAR(fit.ScaleFactor, 1, 0.001);
}

// Without a resolution the image fills the page, either way up, in its own proportions.
TEST(PageFitTest, ImageOfUnknownSizeIsFittedToThePage) {
  PaperDetection unknown;
  unknown.DetectedOrientation = "Q";
  unknown.LongSidePx = 3000;
  unknown.ShortSidePx = 1000;
  for (const auto& [orientation, page_w, page_h, print_w, print_h] :
       std::vector<std::tuple<std::string, double, double, double, double>>{
           {"Q", 420, 297, 420, 140}, {"Q", 300, 200, 300, 100}, {"h", 297, 420, 140, 420}}) {
    SCOPED_TRACE(orientation + std::to_string(page_w));
    const FitSides sides = SidesForFit(unknown, orientation, Twips(page_w), Twips(page_h));
    PendingError pending;
    const PageFit fit =
        Fit(orientation, sides.long_side_mm, sides.short_side_mm, page_w, page_h, pending);
    EXPECT_FALSE(pending.IsSet());
    EXPECT_TRUE(fit.fits);
    EXPECT_NEAR(fit.print_width, print_w, 0.05);
    EXPECT_NEAR(fit.print_height, print_h, 0.05);
  }
  // Measured sides are used as they are.
  PaperDetection known = unknown;
  known.SizesKnown = true;
  known.LongSideMm = "254";
  known.ShortSideMm = "84.6666666666667";
  EXPECT_EQ(SidesForFit(known, "Q", Twips(420), Twips(297)).long_side_mm, "254");
}

TEST(PageFitTest, FailingStepsAreSkippedAndRemembered) {
  PendingError pending;
  PageFit fit;
  fit.ScaleFactor = 7;
  // No page: the height division fails and the factor keeps its old value (then at least 1).
  ComputePageFit("Q", "200", "100", 0, 0, fit, pending);
  EXPECT_EQ(pending.number(), kDivisionByZero);
  EXPECT_DOUBLE_EQ(fit.ScaleFactor, 7);
  // Only a page that could not be measured makes the image "not fit" (and sends the notice).
  EXPECT_FALSE(fit.fits);

  PendingError not_a_number;
  PageFit other;
  other.image_width = 3;
  ComputePageFit("Q", "", "100", Twips(400), Twips(300), other, not_a_number);
  EXPECT_EQ(not_a_number.number(), kTypeMismatch);
  EXPECT_DOUBLE_EQ(other.image_width, 3);
  EXPECT_DOUBLE_EQ(other.image_height, 100);
}

}  // namespace
}  // namespace plotspool
