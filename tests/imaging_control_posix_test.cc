// An image reached through a symbolic link, which only the POSIX tests make.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/error.h"
#include "imaging/imaging_control.h"
#include "sample_plot.h"
#include "test_support.h"

namespace plotspool {
namespace {

TEST(ImagingControlPosixTest, LinkIsNeverLoaded) {
  const testing::TempDir dir;
  const std::string plot = dir / "plan.tif";
  WriteSampleTiff(plot, {BlankImage(64, 48, SampleKind::kBilevel)}, {});
  std::filesystem::create_symlink(plot, dir / "link.tif");
  ImagingControl control;
  EXPECT_EQ(testing::ErrorNumberOf([&] { control.Load(dir / "link.tif"); }), kPathFileAccessError);
  control.Load(plot);
  EXPECT_EQ(control.Status(), 0);
}

}  // namespace
}  // namespace plotspool
