#include "jobs/process_plot_file.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <filesystem>
#include <regex>

#include "config/app_paths.h"
#include "config/printer_profile.h"
#include "config/service_settings.h"
#include "imaging/host_form.h"
#include "imaging/tiff_page.h"
#include "imaging_test_util.h"
#include "sample_plot.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using testing::MakeZip;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

class JobTest : public testing::InProcessServiceTest {
 protected:
  JobTest() : InProcessServiceTest("Plotter2") {}

  std::string Ini() { return ReadWholeFile(IniFile); }
  // The job's path as the service joins it, which is how its lines name the job.
  std::string JobPath(const std::string& name) { return printer_.string() + "/" + name; }
  void Process(const std::string& name) { ProcessPlotFile(name, printer_.string() + "/"); }
  bool TempIsEmpty() { return fs::is_empty(temp_); }

  // A plot of `paper` at 100 dpi (small and quick); its bytes.
  std::string MakePlot(const fs::path& path, const std::string& paper, bool landscape) {
    testing::MakePlot(path, paper, landscape, 100);
    return ReadWholeFile(path);
  }
};

TEST_F(JobTest, FirstJobInANewDirectoryWritesTheWholeSection) {
  WriteWholeFile(printer_ / "note.txt", "neither zip nor tiff");
  Process("note.txt");
  EXPECT_EQ(SectionName, "Plotter2");
  EXPECT_EQ(Ini(),
            "[Plotter2]\nsApplication=\nsPrinterName=\nsOutputFolder=\n"
            "sOrientationA4=\nsOrientationA3=\nsOrientationA2=\nsOrientationA1=\nsOrientationA0=\n"
            "sOrientationA=\nsOrientationB=\nsOrientationC=\nsOrientationD=\nsOrientationE=\n"
            "sChangeA4=A4\nsChangeA3=A3\nsChangeA2=A2\nsChangeA1=A1\nsChangeA0=A0\n"
            "sChangeA=A\nsChangeB=B\nsChangeC=C\nsChangeD=D\nsChangeE=E\n"
            "sPN_A4=162\nsPN_A3=163\nsPN_A2=150\nsPN_A1=151\nsPN_A0=166\n"
            "sPN_A=156\nsPN_B=157\nsPN_C=158\nsPN_D=159\nsPN_E=160\n");
  EXPECT_EQ(Log(), "") << "a file that is neither ZIP nor TIFF ends without a line";
  EXPECT_TRUE(fs::exists(printer_ / "note.txt")) << "the take-over deletes, not the job";
}

TEST_F(JobTest, OutputFolderGetsItsSeparatorInTheRecordOnly) {
  const fs::path out = dir_.path() / "srv" / "out";
  WriteWholeFile(IniFile, "[Plotter2]\nsOutputFolder=" + out.string() + "\nsPN_A4=\n");
  WriteWholeFile(printer_ / "x.bin", "xyz");
  Process("x.bin");
  EXPECT_EQ(PrinterProfile.sOutputFolder, out.string() + "/");
  EXPECT_TRUE(fs::is_directory(out));
  EXPECT_NE(Ini().find("sOutputFolder=" + out.string() + "\n"), std::string::npos);
  EXPECT_EQ(PrinterProfile.sPN_A4, "162");
  EXPECT_NE(Ini().find("sPN_A4=162\n"), std::string::npos);
}

TEST_F(JobTest, AProfileThatCannotBeReadLeavesTheJobForALaterTick) {
  const fs::path out = dir_.path() / "srv" / "out";
  WriteWholeFile(IniFile, "[Plotter2]\nsOutputFolder=" + out.string() + "\n");
  const std::uintmax_t oversized = 64 * 1024 * 1024 + 1;
  fs::resize_file(IniFile, oversized);
  const std::string plot = MakePlot(printer_ / "plan.tif", "A4", false);
  EXPECT_THROW(Process("plan.tif"), PassedToCaller);
  EXPECT_EQ(ReadWholeFile(printer_ / "plan.tif"), plot);
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(fs::file_size(IniFile), oversized);
}

TEST_F(JobTest, SectionNameIsTheLastDirectoryWithOrWithoutSeparator) {
  EXPECT_EQ(SectionNameFromDirectory("/spool/Plotter1/"), "Plotter1");
  EXPECT_EQ(SectionNameFromDirectory("/spool/Plotter1"), "Plotter1");
  EXPECT_EQ(SectionNameFromDirectory("Plotter1"), "Plotter1");
#ifdef _WIN32
  EXPECT_EQ(SectionNameFromDirectory("C:\\spool\\Plotter1\\"), "Plotter1");
  EXPECT_EQ(SectionNameFromDirectory("C:\\spool\\Plotter1/"), "Plotter1");
#endif
}

TEST_F(JobTest, SignaturesDecideAndShortFilesAreAJobError) {
  WriteWholeFile(printer_ / "lower.tif", std::string("ii*\0", 4));
  Process("lower.tif");
  EXPECT_EQ(Log(), "");

  WriteWholeFile(printer_ / "two.tif", "II");
  Process("two.tif");
  const std::string escaped =
      std::regex_replace(JobPath("two.tif"), std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)");
  const std::regex line("[^\t]+\terror\t62 Input past end of file " + escaped + "\r\n");
  EXPECT_TRUE(std::regex_match(Log(), line)) << Log();
  // The file was closed again, so the take-over can delete it.
  EXPECT_TRUE(fs::remove(printer_ / "two.tif"));

  // "MM" followed by anything is a TIFF: a broken one fails in the imaging, with a job line.
  WriteWholeFile(printer_ / "mm.tif", "MMxgarbage");
  Process("mm.tif");
  EXPECT_NE(Log().find(" " + JobPath("mm.tif") + "\r\n"), std::string::npos);
}

TEST_F(JobTest, ZipJobBecomesItsFirstMemberAndGoesOnAsATiff) {
  const std::string plot = MakePlot(dir_.path() / "plan.tif", "A4", false);
  MakeZip(printer_ / "job.zip", {{"plan.tif", plot}, {"second.tif", "2"}, {"third.tif", "3"}});
  Process("job.zip");
  EXPECT_EQ(ReadWholeFile(printer_ / "job.zip"), plot);
  EXPECT_EQ(Log(), "");
  EXPECT_TRUE(TempIsEmpty());
}

TEST_F(JobTest, NestedArchivesUnpackLevelByLevel) {
  const std::string plot = MakePlot(dir_.path() / "plan.tif", "A4", true);
  MakeZip(dir_.path() / "inner.zip", {{"plan.tif", plot}});
  MakeZip(dir_.path() / "middle.zip", {{"inner.zip", ReadWholeFile(dir_.path() / "inner.zip")}});
  MakeZip(printer_ / "job.zip", {{"middle.zip", ReadWholeFile(dir_.path() / "middle.zip")}});
  Process("job.zip");
  EXPECT_EQ(ReadWholeFile(printer_ / "job.zip"), plot);
  EXPECT_TRUE(TempIsEmpty());
}

TEST_F(JobTest, ArchiveHoldingTextEndsSilentlyWithTheText) {
  MakeZip(printer_ / "job.zip", {{"readme.txt", "just text"}});
  Process("job.zip");
  EXPECT_EQ(ReadWholeFile(printer_ / "job.zip"), "just text");
  EXPECT_EQ(Log(), "");
  EXPECT_TRUE(TempIsEmpty());
}

TEST_F(JobTest, FailedUnpackingsLeaveTheJobFileAsItWasAndSayWhy) {
  MakeZip(dir_.path() / "good.zip", {{"plan.tif", "II*\0data", ZIP_CM_STORE}});
  const std::string good = ReadWholeFile(dir_.path() / "good.zip");
  std::string bad_crc = good;
  bad_crc[good.find("II*")] = 'J';  // stored data no longer matches its CRC
  struct Case {
    std::string name;
    std::string bytes;  // empty: the archive made below under name + ".zip"
    std::string line;   // number, description and reason of the job's one line
  };
  const std::vector<Case> cases = {
      {"damaged", good.substr(0, good.size() - 10), "75 Path/File access error (damaged archive"},
      {"bad crc", bad_crc, "57 Device I/O error (damaged entry data"},
      {"slip", "", "75 Path/File access error (unsafe member name: ../../escaped.tif)"},
      {"absolute", "", "75 Path/File access error (unsafe member name: /tmp/plotspool-escaped"},
      {"directory", "", "75 Path/File access error (entry is a folder: plots/)"},
      {"encrypted", "", "75 Path/File access error (encrypted entry: plan.tif)"},
      {"huge", "", "61 Disk full (entry of 1000000000000000 bytes can never fit"},
  };
  MakeZip(dir_.path() / "slip.zip", {{"../../escaped.tif", "II*\0"}});
  MakeZip(dir_.path() / "absolute.zip", {{"/tmp/plotspool-escaped.tif", "II*\0"}});
  MakeZip(dir_.path() / "directory.zip", {{.name = "plots/", .data = "", .directory = true}});
  MakeZip(dir_.path() / "encrypted.zip",
          {{"plan.tif", "II*\0", ZIP_CM_DEFLATE, ZIP_EM_TRAD_PKWARE}});
  // Larger than the temporary file system could ever hold: refused, not retried every tick.
  WriteWholeFile(dir_.path() / "huge.zip",
                 testing::CraftZip({"plan.tif", testing::RawDeflate("II*"), 1'000'000'000'000'000,
                                    testing::Crc("II*"), ZIP_CM_DEFLATE}));
  for (const Case& c : cases) {
    const std::string content =
        c.bytes.empty() ? ReadWholeFile(dir_.path() / (c.name + ".zip")) : c.bytes;
    WriteWholeFile(printer_ / "job.zip", content);
    const std::size_t before = Log().size();
    Process("job.zip");
    EXPECT_EQ(ReadWholeFile(printer_ / "job.zip"), content) << c.name;
    EXPECT_TRUE(TempIsEmpty()) << c.name;
    const std::string line = Log().substr(before);
    EXPECT_NE(line.find("\terror\t" + c.line), std::string::npos) << c.name << ": " << line;
    EXPECT_TRUE(line.ends_with(") " + JobPath("job.zip") + "\r\n")) << line;
  }
  EXPECT_FALSE(fs::exists(dir_.path() / "escaped.tif"));
  EXPECT_FALSE(fs::exists("/tmp/plotspool-escaped.tif"));
}

TEST_F(JobTest, SelfNestingArchiveEndsAfterSixteenLevelsWithALine) {
  std::string level = "II*\0 the innermost plot";
  for (int depth = 0; depth < 20; ++depth) {
    MakeZip(dir_.path() / "level.zip", {{"job.zip", level}});
    level = ReadWholeFile(dir_.path() / "level.zip");
  }
  WriteWholeFile(printer_ / "job.zip", level);
  Process("job.zip");
  // Sixteen levels were unpacked; the rest stays as the job file.
  EXPECT_EQ(ReadWholeFile(printer_ / "job.zip").substr(0, 2), "PK");
  EXPECT_TRUE(TempIsEmpty());
  EXPECT_NE(Log().find("\terror\t75 Path/File access error (archives nested deeper than 16 "
                       "levels) " +
                       JobPath("job.zip") + "\r\n"),
            std::string::npos)
      << Log();
}

TEST_F(JobTest, TurnsOnlyWhenTheWantedOrientationDiffersExactly) {
  const fs::path job = printer_ / "plan.tif";
  for (const auto& [wanted, turned] : std::vector<std::pair<std::string, bool>>{
           {"H", true}, {"Q", false}, {"", false}, {"q", true}}) {
    WriteWholeFile(IniFile, "[Plotter2]\nsOrientationA3=" + wanted + "\n");
    const std::string delivered = MakePlot(job, "A3", /*landscape=*/true);
    Process("plan.tif");
    TIFF* tiff = TIFFOpen(job.string().c_str(), "r");
    ASSERT_NE(tiff, nullptr);
    uint32_t width = 0, height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFClose(tiff);
    EXPECT_EQ(width < height, turned) << "wanted '" << wanted << "'";
    if (!turned) {
      EXPECT_EQ(ReadWholeFile(job), delivered) << "an unturned job is never rewritten";
    }
  }
  EXPECT_EQ(Log(), "");
  EXPECT_TRUE(TempIsEmpty());
}

TEST_F(JobTest, UnknownFormatUsesTheA0Keys) {
  // 850 mm on the long side is no format; A0's wanted orientation then applies.
  const fs::path job = printer_ / "odd.tif";
  WriteWholeFile(IniFile, "[Plotter2]\nsOrientationA0=H\n");
  SampleTiffOptions options;
  options.dpi = 100;
  WriteSampleTiff(job.string(), {BlankImage(3346, 500, SampleKind::kBilevel)}, options);
  Process("odd.tif");
  TIFF* tiff = TIFFOpen(job.string().c_str(), "r");
  ASSERT_NE(tiff, nullptr);
  uint32_t width = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFClose(tiff);
  EXPECT_EQ(width, 500u);

  // Without a resolution the format is unknown too, but the orientation comes from the pixels:
  // a landscape plot wanted landscape stays as it was delivered.
  WriteWholeFile(IniFile, "[Plotter2]\nsOrientationA0=Q\n");
  options.unit = SampleResolution::kMissing;
  WriteSampleTiff(job.string(), {BlankImage(3346, 500, SampleKind::kBilevel)}, options);
  const std::string delivered = ReadWholeFile(job);
  Process("odd.tif");
  EXPECT_EQ(ReadWholeFile(job), delivered);
  EXPECT_EQ(Log(), "");
}

// BildspeicherMB bounds the decoded image a turn may hold; a plot that needs no turn is never
// decoded for it, whatever its size.
TEST_F(JobTest, TurnLargerThanTheImageMemorySettingEndsTheJobAndKeepsTheFile) {
  const fs::path job = printer_ / "plan.tif";
  ServiceSettings.BildspeicherMB = "1";
  for (const auto& [wanted, fails] :
       std::vector<std::pair<std::string, bool>>{{"Q", false}, {"H", true}}) {
    WriteWholeFile(IniFile, "[Plotter2]\nsOrientationA3=" + wanted + "\n");
    // 1654 x 1169 gray pixels at 100 dpi: A3, 1.8 MB decoded.
    SampleTiffOptions options;
    options.dpi = 100;
    WriteSampleTiff(job.string(), {BlankImage(1654, 1169, SampleKind::kGray)}, options);
    const std::string delivered = ReadWholeFile(job);
    Process("plan.tif");
    EXPECT_EQ(ReadWholeFile(job), delivered);
    EXPECT_EQ(Logged("7 Out of memory (the decoded image needs 2 MB, more than the 1 MB allowed) " +
                     JobPath("plan.tif")),
              fails)
        << Log();
  }
  ServiceSettings.BildspeicherMB = "0";
  Process("plan.tif");
  EXPECT_NE(ReadWholeFile(job).size(), 0u);
  TIFF* tiff = TIFFOpen(job.string().c_str(), "r");
  ASSERT_NE(tiff, nullptr);
  uint32_t width = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFClose(tiff);
  EXPECT_EQ(width, 1169u);
}

// Any layout libtiff opens is measured from its header; a job that needs no turn is never
// decoded and its outputs are the delivered bytes. A turn either moves every pixel or refuses
// with its reason, leaving the file as it was.
TEST_F(JobTest, EveryLayoutIsMeasuredAndPassedOnUntouchedWithoutATurn) {
  using testing::LayoutSpec;
  const struct {
    LayoutSpec spec;
    bool turns;
  } layouts[] = {
      {{"rgb_planar", 8, 3, PHOTOMETRIC_RGB, PLANARCONFIG_SEPARATE}, true},
      {{"gray_alpha_16bit_planar", 16, 2, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_SEPARATE,
        SAMPLEFORMAT_UINT, 1, COMPRESSION_NONE},
       true},
      {{"unknown_colour_space", 8, 1, PHOTOMETRIC_LOGL}, false},
      {{"gray_alpha", 8, 2, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG, SAMPLEFORMAT_UINT, 1},
       true},
      {{"cmyk_extra", 8, 5, PHOTOMETRIC_SEPARATED, PLANARCONFIG_CONTIG, SAMPLEFORMAT_UINT, 1},
       true},
      {{"gray_signed", 8, 1, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG, SAMPLEFORMAT_INT}, true},
      {{"cielab", 8, 3, PHOTOMETRIC_CIELAB}, true},
      {{"cielab_16bit_deflate", 16, 3, PHOTOMETRIC_CIELAB, PLANARCONFIG_CONTIG, SAMPLEFORMAT_UINT,
        0, COMPRESSION_ADOBE_DEFLATE},
       true},
      {{"gray_12bit", 12, 1, PHOTOMETRIC_MINISBLACK}, true},
      {{"rgb_12bit", 12, 3, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG, SAMPLEFORMAT_UINT, 0,
        COMPRESSION_NONE},
       true},
      {{"gray_float", 32, 1, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG, SAMPLEFORMAT_IEEEFP},
       true},
      {{"gray_double", 64, 1, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG, SAMPLEFORMAT_IEEEFP, 0,
        COMPRESSION_ADOBE_DEFLATE},
       true},
      {{"rgb_16bit", 16, 3, PHOTOMETRIC_RGB}, true},
      {{"palette_4bit", 4, 1, PHOTOMETRIC_PALETTE}, true},
      // The log codecs' values are moved as encoded (16-bit L, u, v written, 32 bits stored).
      {{"logluv", 16, 3, PHOTOMETRIC_LOGLUV, PLANARCONFIG_CONTIG, SAMPLEFORMAT_INT, 0,
        COMPRESSION_SGILOG},
       true},
      {{"logluv_24bit", 16, 3, PHOTOMETRIC_LOGLUV, PLANARCONFIG_CONTIG, SAMPLEFORMAT_INT, 0,
        COMPRESSION_SGILOG24},
       true},
      {{"logl", 16, 1, PHOTOMETRIC_LOGL, PLANARCONFIG_CONTIG, SAMPLEFORMAT_INT, 0,
        COMPRESSION_SGILOG},
       true},
  };
  const fs::path job = printer_ / "plan.tif";
  for (const auto& [spec, turns] : layouts) {
    SCOPED_TRACE(spec.name);
    WriteWholeFile(IniFile, "[Plotter2]\nsOrientationA0=Q\nsOutputFolder=" + out_.string() + "\n");
    testing::WriteLayoutTiff(job.string(), spec, 150, 70);
    const std::string delivered = ReadWholeFile(job);
    testing::DecodedPage before;
    ASSERT_TRUE(testing::DecodePage(job.string(), 0, &before));
    Process("plan.tif");
    EXPECT_EQ(ReadWholeFile(job), delivered);
    EXPECT_EQ(ReadWholeFile(out_ / "plan.tif"), delivered);
    EXPECT_FALSE(Logged("error")) << Log();

    WriteWholeFile(IniFile, "[Plotter2]\nsOrientationA0=H\n");
    Process("plan.tif");
    if (turns) {
      testing::DecodedPage after;
      ASSERT_TRUE(testing::DecodePage(job.string(), 0, &after));
      ASSERT_EQ(after.width, 70u);
      EXPECT_EQ(after.samples, before.samples);
      EXPECT_EQ(after.bits, before.bits);
      ASSERT_EQ(after.planes, before.planes);
      for (uint16_t plane = 0; plane < before.planes; ++plane) {
        for (uint32_t y = 0; y < before.height; ++y) {
          for (uint32_t x = 0; x < before.width; ++x) {
            ASSERT_EQ(after.Bits(before.height - 1 - y, x, plane), before.Bits(x, y, plane))
                << x << "," << y << " plane " << plane;
          }
        }
      }
      EXPECT_FALSE(Logged("error")) << Log();
    } else {
      EXPECT_EQ(ReadWholeFile(job), delivered);
      EXPECT_TRUE(Logged("error\t380 Invalid property value (")) << Log();
    }
    fs::remove(LogFile);
  }
}

TEST(ImageMemoryTest, AutomaticIsAQuarterOfTheMachineAndNothingExceedsTheCeiling) {
  constexpr uint64_t kMb = uint64_t{1} << 20;
  EXPECT_EQ(DecodedSizeLimitFor(0, 8192 * kMb), 2048 * kMb);
  EXPECT_EQ(DecodedSizeLimitFor(0, 64 * 1024 * kMb), kMaxDecodedBytes);
  EXPECT_EQ(DecodedSizeLimitFor(0, 0), kMaxDecodedBytes) << "unknown machine size";
  EXPECT_EQ(DecodedSizeLimitFor(300, 8192 * kMb), 300 * kMb);
  EXPECT_EQ(DecodedSizeLimitFor(uint64_t{1} << 50, 8192 * kMb), kMaxDecodedBytes);
}

}  // namespace
}  // namespace plotspool
