#include "config/paper_format.h"

#include <gtest/gtest.h>

#include <cmath>

#include "config/printer_profile.h"
#include "imaging/host_form.h"
#include "imaging/sample_plot.h"
#include "imaging_test_util.h"

namespace plotspool {
namespace {

TEST(PaperFormatTest, LongSideClassesAndTheirExactBounds) {
  EXPECT_EQ(ClassifyLongSide(9933.0 / 300 * 25.4), "A1");
  EXPECT_EQ(ClassifyLongSide(13200.0 / 300 * 25.4), "E");
  EXPECT_EQ(ClassifyLongSide(850), "");
  EXPECT_EQ(ClassifyLongSide(0), "");
  const struct {
    const char* code;
    double lower, upper;
  } windows[] = {
      {"E", 1106.423976, 1128.775975}, {"D", 854.963976, 872.235975}, {"C", 553.211988, 564.387988},
      {"B", 427.481988, 436.117988},   {"A", 276.605994, 282.193994}, {"A0", 1177.11, 1200.89},
      {"A1", 832.59, 849.41},          {"A2", 588.06, 599.94},        {"A3", 415.8, 424.2},
      {"A4", 294.03, 299.97}};
  for (const auto& w : windows) {
    EXPECT_EQ(ClassifyLongSide(w.lower), w.code);
    EXPECT_EQ(ClassifyLongSide(w.upper), w.code);
    EXPECT_EQ(ClassifyLongSide(std::nextafter(w.lower, 0.0)), "") << w.code;
    EXPECT_EQ(ClassifyLongSide(std::nextafter(w.upper, 1e9)), "") << w.code;
  }
}

// Each image measured on its own: a missing or zero resolution still gives the orientation from
// the pixels, and no size is taken from the image measured before it.
TEST(PaperFormatTest, DetectionMeasuresEachImageOnItsOwn) {
  testing::ScratchDir dir;
  const struct {
    const char* name;
    uint32_t width, height;
    double dpi;  // 0: no resolution tags
    const char* format;
    const char* orientation;
    const char* long_mm;
  } cases[] = {
      {"a1.tif", 9933, 7016, 300, "A1", "Q", "840.99400000000"},
      {"none_landscape.tif", 800, 300, 0, "", "Q", ""},
      {"zero_portrait.tif", 300, 800, -1, "", "H", ""},
      {"square.tif", 500, 500, 0, "", "H", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / c.name;
    SampleTiffOptions options;
    if (c.dpi > 0) options.dpi = c.dpi;
    if (c.dpi == 0) options.unit = SampleResolution::kMissing;
    WriteSampleTiff(path, {BlankImage(c.width, c.height, SampleKind::kBilevel)}, options);
    if (c.dpi < 0) {  // resolution tags present but 0/0
      TIFF* tif = TIFFOpen(path.c_str(), "r+");
      TIFFSetField(tif, TIFFTAG_XRESOLUTION, 0.0);
      TIFFSetField(tif, TIFFTAG_YRESOLUTION, 0.0);
      TIFFRewriteDirectory(tif);
      TIFFClose(tif);
    }
    const PaperDetection found = DetectPaperFormat(path);
    EXPECT_EQ(found.DetectedFormat, c.format);
    EXPECT_EQ(found.DetectedOrientation, c.orientation);
    EXPECT_EQ(found.SizesKnown, c.dpi > 0);
    EXPECT_EQ(found.LongSideMm.substr(0, 7), std::string(c.long_mm).substr(0, 7));
    EXPECT_EQ(found.LongSidePx, static_cast<int32_t>(std::max(c.width, c.height)));
    EXPECT_FALSE(HostForm::IsLoaded());
  }
  testing::WriteBytes(dir / "text.tif", {'I', 'I', '*', 0, 'x'});
  EXPECT_FALSE(DetectPaperFormat(dir / "text.tif").Measured());
  HostForm::Unload();
}

class FormatRuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PrinterProfile = {};
    PrinterProfile.sChangeA1 = "A3";
    PrinterProfile.sOrientationA1 = "H";
    PrinterProfile.sChangeA0 = "A0";
    PrinterProfile.sOrientationA0 = "Q";
    PrinterProfile.sChangeE = "E";
    PrinterProfile.sPN_A3 = "163";
    PrinterProfile.sPN_A0 = "166";
    PrinterProfile.sPN_E = "160";
  }
};

TEST_F(FormatRuleTest, DetectedFormatSelectsItsKeysAndEverythingElseUsesA0) {
  EXPECT_EQ(LookupFormatRule("A1").TargetFormat, "A3");
  EXPECT_EQ(LookupFormatRule("A1").WantedOrientation, "H");
  EXPECT_EQ(LookupFormatRule("E").TargetFormat, "E");
  for (const char* other : {"", "a1", "A5", "X"}) {
    EXPECT_EQ(LookupFormatRule(other).TargetFormat, "A0") << other;
    EXPECT_EQ(LookupFormatRule(other).WantedOrientation, "Q") << other;
  }
}

TEST_F(FormatRuleTest, PaperNumberFollowsTheTargetFormatExactly) {
  EXPECT_EQ(LookupPaperNumber("A3"), "163");
  EXPECT_EQ(LookupPaperNumber("E"), "160");
  EXPECT_EQ(LookupPaperNumber("a3"), "166");
  EXPECT_EQ(LookupPaperNumber(""), "166");
}

}  // namespace
}  // namespace plotspool
