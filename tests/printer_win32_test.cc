// The GDI printer against the spooler and a private print server that captures every job as
// the driver wrote it. scripts/e2e-windows.sh runs these with PLOTSPOOL_PRINT_QUEUE (a capture
// queue) and PLOTSPOOL_PRINT_CAPTURES (the folder its jobs land in); without them they skip.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <thread>

#include "platform/printer.h"

namespace plotspool::platform {
namespace {

struct Rig {
  InstalledPrinter queue;
  std::filesystem::path captures;
};

std::optional<Rig> FindRig() {
  const char* queue = std::getenv("PLOTSPOOL_PRINT_QUEUE");
  const char* captures = std::getenv("PLOTSPOOL_PRINT_CAPTURES");
  if (queue == nullptr || captures == nullptr) return std::nullopt;
  for (const InstalledPrinter& printer : InstalledPrinters()) {
    if (printer.device_name == queue) return Rig{printer, captures};
  }
  ADD_FAILURE() << "the spooler does not list " << queue;
  return std::nullopt;
}

#define REQUIRE_RIG(rig)                                                     \
  const std::optional<Rig> rig = FindRig();                                  \
  if (!rig) GTEST_SKIP() << "no capture queue (run scripts/e2e-windows.sh)"; \
  static_assert(true)

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The document of the job titled `title`, once the server has passed it through completely.
std::optional<std::string> WaitForCapture(const Rig& rig, const std::string& title) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& entry : std::filesystem::directory_iterator(rig.captures)) {
      if (entry.path().extension() != ".txt") continue;
      if (ReadAll(entry.path()).find("\ntitle=" + title + "\n") == std::string::npos) continue;
      return ReadAll(std::filesystem::path(entry.path()).replace_extension(".doc"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return std::nullopt;
}

bool Captured(const Rig& rig, const std::string& title) {
  for (const auto& entry : std::filesystem::directory_iterator(rig.captures)) {
    if (entry.path().extension() == ".txt" &&
        ReadAll(entry.path()).find("\ntitle=" + title + "\n") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Every row the same byte ramp, shifted by the row number; optionally ends early.
class Ramp : public RasterRowSource {
 public:
  explicit Ramp(RasterFormat format, uint32_t rows = UINT32_MAX)
      : format_(std::move(format)), rows_(rows) {}
  const RasterFormat& format() const override { return format_; }
  bool Rewind() override {
    next_ = 0;
    return true;
  }
  bool NextRow(std::span<uint8_t> row) override {
    if (next_ >= format_.height || next_ >= rows_) return false;
    for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(i * 7 + next_);
    ++next_;
    return true;
  }

 private:
  RasterFormat format_;
  uint32_t rows_;
  uint32_t next_ = 0;
};

// The image sizes the driver wrote: one width for all bands, their heights added up.
struct PageImage {
  int width = 0;
  int height = 0;
};
PageImage ImageOf(const std::string& document) {
  PageImage image;
  std::istringstream lines(document);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with(" /Width ")) image.width = std::stoi(line.substr(8));
    if (line.starts_with(" /Height ")) image.height += std::stoi(line.substr(9));
  }
  return image;
}

TEST(PrinterWin32Test, PaperNumbersAreTheDriversAndAnUnknownOneLeavesThePaper) {
  REQUIRE_RIG(rig);
  ASSERT_TRUE(PaperNumbersAreNative());
  Printer printer;
  printer.Select(rig->queue);
  // The capture queue has 5 mm margins all round.
  const struct {
    int16_t number;
    int error;  // 0 = taken
    double width_mm, height_mm;
  } kCases[] = {
      {DMPAPER_A3, 0, 287, 410}, {DMPAPER_A4, 0, 200, 287}, {163, 380, 200, 287},
      {150, 380, 200, 287},      {0, 380, 200, 287},        {DMPAPER_A3, 0, 287, 410},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.number);
    try {
      printer.SetPaperNumber(c.number);
      EXPECT_EQ(c.error, 0);
    } catch (const RuntimeError& error) {
      EXPECT_EQ(error.number(), c.error);
    }
    printer.SetOrientation(kPortrait);
    EXPECT_NEAR(printer.PageWidthTwips(), c.width_mm * 1440 / 25.4, 30);
    EXPECT_NEAR(printer.PageHeightTwips(), c.height_mm * 1440 / 25.4, 30);
    printer.SetOrientation(kLandscape);
    EXPECT_NEAR(printer.PageWidthTwips(), c.height_mm * 1440 / 25.4, 30);
  }
}

TEST(PrinterWin32Test, EveryPictureFormatPrintsAsOneImageOfItsSizeOnThePaperSet) {
  REQUIRE_RIG(rig);
  auto format = [](uint8_t bits, uint8_t samples, RasterColours colours = RasterColours::kDevice) {
    RasterFormat f;
    f.width = 37;  // rows that need padding to whole words
    f.height = 23;
    f.bits_per_sample = bits;
    f.samples_per_pixel = samples;
    f.colours = colours;
    if (colours == RasterColours::kIndexed) f.palette = {0xFF0000, 0x00FF00, 0x0000FF};
    return f;
  };
  const struct {
    const char* name;
    RasterFormat format;
  } kCases[] = {
      {"gray1", format(1, 1)},
      {"gray4", format(4, 1)},
      {"gray8", format(8, 1)},
      {"gray16", format(16, 1)},
      {"rgb8", format(8, 3)},
      {"rgb16", format(16, 3)},
      {"cmyk8", format(8, 4)},
      {"lab8", format(8, 3, RasterColours::kLab)},
      {"lab16", format(16, 3, RasterColours::kLab)},
      {"indexed2", format(2, 1, RasterColours::kIndexed)},
      {"indexed8", format(8, 1, RasterColours::kIndexed)},
  };
  Printer printer;
  printer.Select(rig->queue);
  printer.SetPaperNumber(DMPAPER_A3);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    Ramp picture(c.format);
    const std::string title = std::string("format-") + c.name + ".tif";
    int job_id = 0;
    printer.DrawPicture(picture, 1440, 720, 1440 * 3, 1440 * 2);
    ASSERT_NO_THROW(printer.EndDoc(title, [&](int id) { job_id = id; }));
    EXPECT_GT(job_id, 0);
    const std::optional<std::string> document = WaitForCapture(*rig, title);
    ASSERT_TRUE(document) << "no capture";
    EXPECT_NE(document->find("%%BeginFeature: *PageSize A3"), std::string::npos);
    EXPECT_NE(document->find("%%Page: 1 1"), std::string::npos);
    EXPECT_EQ(document->find("%%Page: 2"), std::string::npos);
    const PageImage image = ImageOf(*document);
    EXPECT_EQ(image.width, 37);
    EXPECT_EQ(image.height, 23);
  }
}

TEST(PrinterWin32Test, APictureThatFailsIsNeverPrintedAndTheQueuePrintsOn) {
  REQUIRE_RIG(rig);
  Printer printer;
  printer.Select(rig->queue);
  RasterFormat rgb4;
  rgb4.width = rgb4.height = 8;
  rgb4.bits_per_sample = 4;
  rgb4.samples_per_pixel = 3;
  RasterFormat gray;
  gray.width = gray.height = 100;
  const struct {
    const char* title;
    RasterFormat format;
    uint32_t rows;
    int error;
  } kCases[] = {
      {"short-picture.tif", gray, 40, kInputPastEndOfFile},
      {"rgb4-picture.tif", rgb4, UINT32_MAX, kInvalidPropertyValue},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.title);
    Ramp picture(c.format, c.rows);
    printer.DrawPicture(picture, 0, 0, 1440, 1440);
    try {
      printer.EndDoc(c.title);
      ADD_FAILURE() << "printed";
    } catch (const RuntimeError& error) {
      EXPECT_EQ(error.number(), c.error);
    }
  }
  // The server takes jobs in order: once the next one is through, the failed ones never come.
  Ramp picture(gray);
  printer.DrawPicture(picture, 0, 0, 1440, 1440);
  printer.EndDoc("after-failures.tif");
  ASSERT_TRUE(WaitForCapture(*rig, "after-failures.tif"));
  for (const auto& c : kCases) EXPECT_FALSE(Captured(*rig, c.title)) << c.title;
}

}  // namespace
}  // namespace plotspool::platform
