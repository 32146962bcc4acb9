// Feeds arbitrary bytes to the imaging control as a job file: load, measure, turn, save and
// bitmap export must fail cleanly or succeed, never crash, hang or run out of memory.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/error.h"
#include "imaging/imaging_control.h"
#include "imaging/picture_box.h"

namespace {

const std::filesystem::path& WorkDir() {
  static const std::filesystem::path dir = [] {
    auto path =
        std::filesystem::temp_directory_path() /
        ("plotspool-tiff-fuzz-" +
         std::to_string(std::hash<std::string>{}(std::filesystem::current_path().string())));
    std::filesystem::create_directories(path);
    return path;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace plotspool;
  const std::string job = (WorkDir() / "job.tif").string();
  const std::string bitmap = (WorkDir() / "job.bmp").string();
  {
    std::ofstream out(job, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  ImagingControl control;
  try {
    control.Load(job);
    volatile double measure = control.ImageWidth() / (control.HorizontalResolution() + 1) +
                              control.ImageHeight() / (control.VerticalResolution() + 1);
    (void)measure;
    control.SaveAs(bitmap, ImageFileType::kBitmap);
    PictureBox box;
    box.LoadPicture(bitmap);
    std::vector<uint8_t> row(box.format().RowBytes());
    while (box.NextRow(row)) {
    }
    control.RotateRight();
    control.Save();
    control.SaveAs(bitmap, ImageFileType::kBitmap);
  } catch (const RuntimeError&) {
  }
  return 0;
}
