#include "platform/posix/pdf_page_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/error.h"
#include "pdf_check.h"
#include "test_picture.h"

namespace plotspool::platform {
namespace {

namespace fs = std::filesystem;
using plotspool::testing::Format;
using plotspool::testing::Render;
using plotspool::testing::Rendered;
using plotspool::testing::RunCommand;
using plotspool::testing::TestPicture;
using plotspool::testing::WriteBytes;

class PdfPageWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("plotspool-pdf-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes the page to a file and checks that it is a sound PDF; returns its path.
  fs::path Write(const PdfPage& page, TestPicture& picture, const std::string& name) {
    std::string bytes;
    WritePdfPage(page, picture, [&](std::span<const uint8_t> chunk) {
      EXPECT_FALSE(chunk.empty());
      bytes.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
      ++chunks_;
    });
    const fs::path path = dir_ / (name + ".pdf");
    WriteBytes(path, bytes);
    const auto check = RunCommand("qpdf --check " + path.string());
    EXPECT_EQ(check.status, 0) << check.output;
    return path;
  }

  fs::path dir_;
  int chunks_ = 0;
};

// A 100 x 80 pt page with a 40 x 30 picture drawn 1:1 at (left, top): rendered at 72 dpi, one
// pixel is one picture pixel.
PdfPage SmallPage(double left, double top) { return PdfPage{100, 80, left, top, 40, 30}; }

// Dark 8 x 8 block at the picture's top left corner, light elsewhere.
bool InBlock(uint32_t x, uint32_t y) { return x < 8 && y < 8; }

TEST_F(PdfPageWriterTest, PicturesOfEveryKindLandAtTheTopLeftWithTheRightShades) {
  struct Case {
    const char* name;
    RasterFormat format;
    uint32_t dark, light;  // samples of the block and of the rest
    const char* pdfimages_color;
    const char* pdfimages_bpc;
  };
  const Case cases[] = {
      {"bilevel_min_is_black", Format(40, 30, 1, 1, false), 0, 1, "gray", "1"},
      {"bilevel_min_is_white", Format(40, 30, 1, 1, true), 1, 0, "gray", "1"},
      {"gray", Format(40, 30, 8, 1, false), 0, 255, "gray", "8"},
      {"gray_min_is_white", Format(40, 30, 8, 1, true), 255, 0, "gray", "8"},
      {"rgb", Format(40, 30, 8, 3), 0x0000FF, 0xFFFFFF, "rgb", "8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (auto [left, top] : {std::pair{0.0, 0.0}, std::pair{10.0, 5.0}}) {
      TestPicture picture(c.format,
                          [&](uint32_t x, uint32_t y) { return InBlock(x, y) ? c.dark : c.light; });
      const fs::path pdf = Write(SmallPage(left, top), picture, c.name);
      const auto images = RunCommand("pdfimages -list " + pdf.string());
      ASSERT_EQ(images.status, 0);
      // page num type width height color comp bpc
      std::istringstream lines(images.output);
      std::string line;
      std::getline(lines, line);
      std::getline(lines, line);
      std::getline(lines, line);
      std::istringstream fields(line);
      std::string page, num, type, width, height, color, comp, bpc;
      fields >> page >> num >> type >> width >> height >> color >> comp >> bpc;
      EXPECT_EQ(type + " " + width + "x" + height, "image 40x30") << images.output;
      EXPECT_EQ(color, c.pdfimages_color);
      EXPECT_EQ(bpc, c.pdfimages_bpc);

      const Rendered render = Render(pdf, 72, c.format.samples_per_pixel == 1);
      ASSERT_EQ(render.width, 100);
      ASSERT_EQ(render.height, 80);
      const int x0 = static_cast<int>(left), y0 = static_cast<int>(top);
      // Dark from the picture's first pixel on, light beside the block (the renderer smooths
      // one pixel at the block's edge), white outside the picture.
      EXPECT_LT(render.At(x0, y0, 0), 64);
      EXPECT_LT(render.At(x0 + 7, y0 + 7, 0), 64);
      EXPECT_GT(render.At(x0 + 10, y0 + 1, 0), 192);
      EXPECT_GT(render.At(x0 + 1, y0 + 10, 0), 192);
      EXPECT_GT(render.At(x0 + 45, y0 + 2, 0), 192);
      if (left > 0) {
        EXPECT_GT(render.At(x0 - 1, y0, 0), 192);
      }
      if (top > 0) {
        EXPECT_GT(render.At(x0, y0 - 1, 0), 192);
      }
      if (c.format.samples_per_pixel == 3) {
        EXPECT_GT(render.At(x0 + 2, y0 + 2, 2), 192);  // the block is blue, not black
      }
    }
  }
}

TEST_F(PdfPageWriterTest, LargePictureStreamsInManyChunksAndDecodesToTheSameSamples) {
  // Noise does not compress, so the image spans many output chunks.
  auto noise = [](uint32_t x, uint32_t y) {
    uint32_t v = x * 2654435761u ^ (y + 0x9E3779B9u) * 40503u;
    v ^= v >> 13;
    return v * 0x5bd1e995u >> 8;
  };
  TestPicture picture(Format(1500, 1000, 8, 3), noise);
  const fs::path pdf = Write(PdfPage{600, 400, 0, 0, 600, 400}, picture, "large");
  EXPECT_GT(chunks_, 50);

  const fs::path raw = dir_ / "image.raw";
  ASSERT_EQ(RunCommand("qpdf --show-object=5 --filtered-stream-data " + pdf.string() + " > " +
                       raw.string())
                .status,
            0);
  std::string expected;
  std::vector<uint8_t> row(picture.format().RowBytes());
  ASSERT_TRUE(picture.Rewind());
  while (picture.NextRow(row)) expected.append(row.begin(), row.end());
  std::ifstream in(raw, std::ios::binary);
  const std::string decoded{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(decoded.size(), expected.size());
  EXPECT_TRUE(decoded == expected);
}

TEST_F(PdfPageWriterTest, RefusesWhatItCannotCarryAndFailsOnAShortPicture) {
  auto error_of = [](auto&& call) {
    try {
      call();
    } catch (const RuntimeError& e) {
      return e.number();
    }
    return 0;
  };
  auto discard = [](std::span<const uint8_t>) {};
  RasterFormat wide_index = Format(4, 4, 16, 1);  // PDF indexes have at most 8 bits
  wide_index.colours = RasterColours::kIndexed;
  wide_index.palette = {0, 0xFFFFFF};
  TestPicture sixteen_bit(wide_index, [](uint32_t, uint32_t) { return 0u; });
  EXPECT_EQ(error_of([&] { WritePdfPage(SmallPage(0, 0), sixteen_bit, discard); }),
            kInvalidPropertyValue);
  TestPicture two_samples(Format(4, 4, 8, 2), [](uint32_t, uint32_t) { return 0u; });
  EXPECT_EQ(error_of([&] { WritePdfPage(SmallPage(0, 0), two_samples, discard); }),
            kInvalidPropertyValue);
  TestPicture empty(Format(0, 4, 8, 1), [](uint32_t, uint32_t) { return 0u; });
  EXPECT_EQ(error_of([&] { WritePdfPage(SmallPage(0, 0), empty, discard); }),
            kInvalidPropertyValue);

  TestPicture short_picture(Format(40, 30, 8, 1), [](uint32_t, uint32_t) { return 7u; });
  short_picture.EndAfter(29);
  EXPECT_EQ(error_of([&] { WritePdfPage(SmallPage(0, 0), short_picture, discard); }),
            kInputPastEndOfFile);
}

}  // namespace
}  // namespace plotspool::platform
