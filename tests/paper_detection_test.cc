#include "jobs/paper_detection.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "imaging/host_form.h"
#include "imaging_test_util.h"
#include "sample_plot.h"

namespace plotspool {
namespace {

// Each image measured on its own: a missing or zero resolution still gives the orientation from
// the pixels, and no size is taken from the image measured before it.
TEST(PaperDetectionTest, DetectionMeasuresEachImageOnItsOwn) {
  testing::TempDir dir;
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

}  // namespace
}  // namespace plotspool
