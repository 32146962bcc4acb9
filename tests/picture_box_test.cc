#include "imaging/picture_box.h"

#include <gtest/gtest.h>

#include "base/error.h"
#include "imaging/host_form.h"
#include "imaging_test_util.h"
#include "sample_plot.h"

namespace plotspool {
namespace {

using testing::TempDir;
using testing::WriteBytes;

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A 24-bit bitmap of 3 x 2 pixels, top-down when `top_down`; pixel (x, y) = (x, y, 7).
std::vector<uint8_t> SmallBitmap(bool top_down) {
  std::vector<uint8_t> b(54 + 2 * 12, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 2, static_cast<uint32_t>(b.size()));
  Put32(b, 10, 54);
  Put32(b, 14, 40);
  Put32(b, 18, 3);
  Put32(b, 22, top_down ? static_cast<uint32_t>(-2) : 2);
  b[26] = 1;
  b[28] = 24;
  for (uint32_t y = 0; y < 2; ++y) {
    const uint32_t file_row = top_down ? y : 1 - y;
    for (uint32_t x = 0; x < 3; ++x) {
      uint8_t* p = &b[54 + file_row * 12 + 3 * x];
      p[0] = 7;  // blue
      p[1] = static_cast<uint8_t>(y);
      p[2] = static_cast<uint8_t>(x);
    }
  }
  return b;
}

TEST(PictureBoxTest, ReadsBothRowOrdersTopDownAsRgb) {
  TempDir dir;
  for (bool top_down : {false, true}) {
    WriteBytes(dir / "p.bmp", SmallBitmap(top_down));
    PictureBox box;
    box.LoadPicture(dir / "p.bmp");
    ASSERT_EQ(box.format().width, 3u);
    ASSERT_EQ(box.format().height, 2u);
    std::vector<uint8_t> row(9);
    for (uint8_t y = 0; y < 2; ++y) {
      ASSERT_TRUE(box.NextRow(row));
      EXPECT_EQ(row, (std::vector<uint8_t>{0, y, 7, 1, y, 7, 2, y, 7}));
    }
    EXPECT_FALSE(box.NextRow(row));
  }
}

TEST(PictureBoxTest, RefusesBadFilesAndStaysEmpty) {
  TempDir dir;
  const auto error_of = [&](const std::vector<uint8_t>& bytes) {
    WriteBytes(dir / "bad.bmp", bytes);
    PictureBox box;
    try {
      box.LoadPicture(dir / "bad.bmp");
    } catch (const RuntimeError& e) {
      EXPECT_FALSE(box.HasPicture());
      std::vector<uint8_t> row(16);
      EXPECT_FALSE(box.NextRow(row));
      return e.number();
    }
    return 0;
  };
  std::vector<uint8_t> good = SmallBitmap(false);
  EXPECT_EQ(error_of(good), 0);
  EXPECT_EQ(error_of({'B', 'M', 0, 0}), 481);
  std::vector<uint8_t> truncated(good.begin(), good.end() - 5);
  EXPECT_EQ(error_of(truncated), 481);
  std::vector<uint8_t> compressed = good;
  compressed[30] = 1;
  EXPECT_EQ(error_of(compressed), 481);
  std::vector<uint8_t> huge = good;
  Put32(huge, 18, 0x7FFFFFFF);
  EXPECT_EQ(error_of(huge), 481);

  PictureBox box;
  try {
    box.LoadPicture(dir / "missing.bmp");
    ADD_FAILURE();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), kFileNotFound);
  }
}

TEST(HostFormTest, LoadsOnFirstReferenceAndUnloadDropsTheJobImage) {
  TempDir dir;
  const std::string plot = dir / "plan.tif";
  WriteSampleTiff(plot, {BlankImage(64, 32, SampleKind::kBilevel)}, {});

  HostForm::Unload();
  EXPECT_FALSE(HostForm::IsLoaded());
  frmSample().oleImgEdit1().Load(plot);  // a reference to a control loads the form
  EXPECT_TRUE(HostForm::IsLoaded());
  EXPECT_FALSE(frmSample().Visible());
  EXPECT_EQ(frmSample().Caption(), "Image Edit");
  frmSample().oleImgEdit1().SaveAs(dir / "print.bmp", ImageFileType::kBitmap);
  frmSample().Picture1().LoadPicture(dir / "print.bmp");
  EXPECT_TRUE(frmSample().Picture1().HasPicture());

  HostForm::Unload();
  EXPECT_FALSE(HostForm::IsLoaded());
  HostForm::Unload();  // unloading an unloaded form is harmless
  // The next job gets fresh controls: nothing of the previous image survives.
  EXPECT_FALSE(frmSample().oleImgEdit1().HasImage());
  EXPECT_EQ(frmSample().oleImgEdit1().ImageWidth(), 0);
  EXPECT_FALSE(frmSample().Picture1().HasPicture());
  HostForm::Unload();
}

}  // namespace
}  // namespace plotspool
