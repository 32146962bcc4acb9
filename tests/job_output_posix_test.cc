// Jobs printed on a private print server: the outputs in process, and the road of one file through
// the real executable.
#include "jobs/job_output.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "config/app_paths.h"
#include "config/printer_profile.h"
#include "config/service_settings.h"
#include "cups_rig.h"
#include "imaging/host_form.h"
#include "imaging_test_util.h"
#include "intake/take_over.h"
#include "jobs/open_prints.h"
#include "jobs/process_plot_file.h"
#include "log/metrics.h"
#include "pdf_check.h"
#include "platform/files.h"
#include "sample_plot.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_view_literals;
using testing::CapturedJob;
using testing::CupsRig;
using testing::ReadWholeFile;
using testing::RunCommand;
using testing::WaitFor;
using testing::WriteWholeFile;

using testing::MakePlot;

uint32_t TiffWidth(const fs::path& path) {
  TIFF* tiff = TIFFOpen(path.string().c_str(), "r");
  if (tiff == nullptr) return 0;
  uint32_t width = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFClose(tiff);
  return width;
}

bool HasOption(const CapturedJob& job, const std::string& option) {
  return (" " + job.options + " ").find(" " + option + " ") != std::string::npos;
}

// The rectangle the page's content stream draws the image into, in points: "W 0 0 H X Y cm".
std::vector<double> ImagePlacement(const fs::path& dir, const CapturedJob& job) {
  const fs::path pdf = dir / ("job-" + std::to_string(job.id) + ".pdf");
  const fs::path qdf = dir / ("job-" + std::to_string(job.id) + ".qdf");
  testing::WriteBytes(pdf, job.document);
  EXPECT_EQ(RunCommand("qpdf --check " + pdf.string()).status, 0);
  RunCommand("qpdf --qdf --object-streams=disable " + pdf.string() + " " + qdf.string());
  std::smatch match;
  const std::string text = ReadWholeFile(qdf);
  const std::regex cm("([0-9.]+) 0 0 ([0-9.]+) ([0-9.]+) ([0-9.]+) cm");
  if (!std::regex_search(text, match, cm)) return {};
  return {std::stod(match[1]), std::stod(match[2]), std::stod(match[3]), std::stod(match[4])};
}

double Points(double mm) { return mm * 72 / 25.4; }

class JobOutputTest : public testing::InProcessServiceTest {
 protected:
  JobOutputTest() : InProcessServiceTest("Plotter1") {}
  void SetUp() override {
    InProcessServiceTest::SetUp();
    rig_.AddCaptureQueue("Canon_X", "Canon X");
    rig_.AddCaptureQueue("HP_DesignJet_500", "HP DesignJet 500");
  }

  void Process(const std::string& name) { ProcessPlotFile(name, printer_.string() + "/"); }
  bool Logged(const std::string& kind, const std::string& message) {
    return Log().find("\t" + kind + "\t" + message + "\r\n") != std::string::npos;
  }

  CupsRig rig_;
};

TEST_F(JobOutputTest, FirstMatchingPrinterPrintsAndTheJobIsCopied) {
  Section("sPrinterName=hp*\nsChangeA4=A3\nsOutputFolder=" + out_.string() + "\n");
  MakePlot(printer_ / "plan.tif", "A4", true, 100);
  Process("plan.tif");

  const auto jobs = rig_.WaitForJobs("HP_DesignJet_500", 1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].title, "plan.tif");
  EXPECT_TRUE(HasOption(jobs[0], "media=iso_a3_297x420mm")) << jobs[0].options;
  EXPECT_TRUE(rig_.CapturedJobs("Canon_X").empty());
  EXPECT_TRUE(Logged("info", "Print plan.tif on hp*")) << Log();
  EXPECT_TRUE(Logged("info", "Copy plan.tif on " + out_.string() + "/")) << Log();
  EXPECT_EQ(ReadWholeFile(out_ / "plan.tif"), ReadWholeFile(printer_ / "plan.tif"));
  EXPECT_TRUE(fs::is_empty(temp_)) << "print files removed";
  EXPECT_FALSE(HostForm::IsLoaded());

  // An image smaller than its page is drawn at its natural size at the top left.
  const auto placement = ImagePlacement(dir_.path(), jobs[0]);
  ASSERT_EQ(placement.size(), 4u);
  EXPECT_NEAR(placement[0], Points(297), 1);
  EXPECT_NEAR(placement[1], Points(210), 1);
}

// A plot whose data is damaged cannot become a page: the print line says why (libtiff's reason,
// not a later step's "empty page"), nothing reaches the queue, and the file is kept.
TEST_F(JobOutputTest, DamagedPlotFailsItsPrintWithTheReasonAndIsKept) {
  Section("sPrinterName=hp*\n");
  const fs::path job = printer_ / "plan.tif";
  MakePlot(job, "A4", false, 100);
  std::string bytes = ReadWholeFile(job);
  for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + 64; ++i) bytes[i] = '\x5a';
  WriteWholeFile(job, bytes);
  const JobResult result = ProcessPlotFile("plan.tif", printer_.string() + "/");
  EXPECT_TRUE(result.refused);
  EXPECT_EQ(result.number, 57) << result.description;
  EXPECT_TRUE(std::regex_search(
      Log(), std::regex("\terror\t57 Device I/O error \\(.+\\)plan\\.tif on hp\\*")))
      << Log();
  EXPECT_TRUE(rig_.CapturedJobs("HP_DesignJet_500").empty());
}

TEST_F(JobOutputTest, NoMatchingPrinterLogsAndEndsTheJobWithoutACopy) {
  Section("sPrinterName=Epson*\nsOutputFolder=" + out_.string() + "\n");
  MakePlot(printer_ / "plan.tif", "A4", false, 100);
  Process("plan.tif");
  EXPECT_TRUE(Logged("error", "Printer (Epson*) not installed")) << Log();
  EXPECT_FALSE(fs::exists(out_ / "plan.tif"));
}

TEST_F(JobOutputTest, PaperNumbersFollowTheTargetFormat) {
  // A lower-case change value is no format: the A0 paper number is used.
  Section("sPrinterName=HP_DesignJet_500\nsChangeA3=a3\n");
  MakePlot(printer_ / "plan.tif", "A3", true, 100);
  Process("plan.tif");
  auto jobs = rig_.WaitForJobs("HP_DesignJet_500", 1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_TRUE(HasOption(jobs[0], "media=iso_a0_841x1189mm")) << jobs[0].options;
  EXPECT_NE(ReadWholeFile(IniFile).find("[PaperNumbers]\n162=iso_a4_210x297mm\n"),
            std::string::npos);

  // A paper number that is no number: the page still prints, the line names the failure.
  Section("sPrinterName=HP_DesignJet_500\nsPN_A3=abc\n");
  MakePlot(printer_ / "plan.tif", "A3", true, 100);
  Process("plan.tif");
  jobs = rig_.WaitForJobs("HP_DesignJet_500", 2);
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_TRUE(Logged("error", "13 Type mismatchplan.tif on HP_DesignJet_500")) << Log();
}

TEST_F(JobOutputTest, ImageLargerThanThePageIsScaledDownUniformly) {
  Section("sPrinterName=HP_DesignJet_500\nsChangeA1=A4\nsChangeA0=A4\n");
  MakePlot(printer_ / "plan.tif", "A1", true, 50);
  Process("plan.tif");
  const auto jobs = rig_.WaitForJobs("HP_DesignJet_500", 1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_TRUE(HasOption(jobs[0], "media=iso_a4_210x297mm"));
  // Landscape A4 with 5 mm margins is 287 x 200 mm: the height decides the factor.
  const auto placement = ImagePlacement(dir_.path(), jobs[0]);
  ASSERT_EQ(placement.size(), 4u);
  EXPECT_NEAR(placement[1], Points(200), 1);
  EXPECT_NEAR(placement[0] / placement[1], 1655.0 / 1169.0, 0.01) << "proportions kept";
  EXPECT_LT(placement[0], Points(287) + 1);

  // A plot that states no resolution has no known size (so the A0 keys apply): it fills the
  // page, whatever an earlier job measured.
  SampleTiffOptions options;
  options.unit = SampleResolution::kMissing;
  WriteSampleTiff((printer_ / "bare.tif").string(), {BlankImage(574, 200, SampleKind::kBilevel)},
                  options);
  Process("bare.tif");
  const auto both = rig_.WaitForJobs("HP_DesignJet_500", 2);
  ASSERT_EQ(both.size(), 2u);
  const auto filled = ImagePlacement(dir_.path(), both[1]);
  ASSERT_EQ(filled.size(), 4u);
  EXPECT_NEAR(filled[0], Points(287), 1);
  EXPECT_NEAR(filled[1], Points(100), 1);
  EXPECT_FALSE(Logged("error", "")) << Log();
}

// One page of `spec` in a single colour: `pixel` holds its samples (alpha included) as numbers,
// written as floating point for floating-point pages.
void WriteUniformTiff(const fs::path& path, const testing::LayoutSpec& spec,
                      const std::vector<double>& pixel) {
  constexpr uint32_t kWidth = 200, kHeight = 100;  // 2 x 1 inch
  const fs::path plain = path.string() + ".noise";
  testing::WriteLayoutTiff(plain.string(), spec, 8, 8);  // the tags, taken over below
  TIFF* in = TIFFOpen(plain.string().c_str(), "r");
  TIFF* tif = TIFFOpen(path.string().c_str(), "w");
  ASSERT_NE(in, nullptr);
  ASSERT_NE(tif, nullptr);
  for (const ttag_t tag : {TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_PHOTOMETRIC,
                           TIFFTAG_PLANARCONFIG, TIFFTAG_SAMPLEFORMAT, TIFFTAG_RESOLUTIONUNIT}) {
    uint16_t value = 0;
    TIFFGetField(in, tag, &value);
    TIFFSetField(tif, tag, value);
  }
  uint16_t count = 0;
  uint16_t* kinds = nullptr;
  if (TIFFGetField(in, TIFFTAG_EXTRASAMPLES, &count, &kinds) == 1) {
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, count, kinds);
  }
  testing::WriteInkTags(tif, spec);
  TIFFClose(in);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, 100.0);
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, 100.0);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  if (spec.photometric == PHOTOMETRIC_PALETTE) {
    std::vector<uint16_t> map(3 << spec.bits, 0);
    const size_t n = size_t{1} << spec.bits, index = static_cast<size_t>(pixel[0]);
    map[index] = 0xFFFF;          // red
    map[n + index] = 0x8000;      // green
    map[2 * n + index] = 0x0000;  // blue
    TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data() + n, map.data() + 2 * n);
  }
  const bool separate = spec.planar == PLANARCONFIG_SEPARATE;
  const size_t per_row = separate ? 1 : pixel.size();
  for (uint16_t plane = 0; plane < (separate ? spec.samples : 1); ++plane) {
    std::vector<uint8_t> row(static_cast<size_t>(TIFFScanlineSize64(tif)), 0);
    size_t bit = 0;
    for (uint32_t x = 0; x < kWidth; ++x) {
      for (size_t s = 0; s < per_row; ++s) {
        const double value = pixel[separate ? plane : s];
        uint8_t* at = row.data() + bit / 8;
        if (spec.sample_format == SAMPLEFORMAT_IEEEFP) {
          const float f = static_cast<float>(value);
          memcpy(at, &f, 4);
        } else if (spec.bits == 8) {
          *at = static_cast<uint8_t>(static_cast<int>(value));
        } else if (spec.bits == 16) {
          const uint16_t v = static_cast<uint16_t>(static_cast<int>(value));
          memcpy(at, &v, 2);
        } else {  // packed, MSB first
          for (int b = spec.bits - 1; b >= 0; --b, ++bit) {
            if ((static_cast<uint32_t>(value) >> b) & 1) row[bit / 8] |= 0x80 >> (bit % 8);
          }
          continue;
        }
        bit += spec.bits;
      }
    }
    for (uint32_t y = 0; y < kHeight; ++y) TIFFWriteScanline(tif, row.data(), y, plane);
  }
  TIFFClose(tif);
}

// Every layout the turn reads prints in the colour space and depth it has, and looks on paper
// like its samples say.
TEST_F(JobOutputTest, EveryLayoutPrintsInItsOwnColours) {
  using testing::LayoutSpec;
  struct Case {
    LayoutSpec spec;
    std::vector<double> pixel;
    const char* colour;  // as pdfimages lists it
    int bits;
    std::array<int, 3> rgb;  // rendered (poppler's own conversion for CMYK and Lab)
    int tolerance = 3;
  };
  const Case cases[] = {
      {{"cmyk-alpha", 8, 5, PHOTOMETRIC_SEPARATED, PLANARCONFIG_CONTIG, 1, 1},
       {0, 255, 255, 0, 255},
       "cmyk",
       8,
       {236, 28, 36}},
      {{"cmyk16", 16, 4, PHOTOMETRIC_SEPARATED}, {65535, 0, 0, 0}, "cmyk", 16, {0, 173, 239}},
      {{"rgb16", 16, 3, PHOTOMETRIC_RGB}, {65535, 32896, 0}, "rgb", 16, {255, 128, 0}},
      {{"gray16", 16, 1}, {16448}, "gray", 16, {64, 64, 64}},
      {{"palette4", 4, 1, PHOTOMETRIC_PALETTE}, {5}, "index", 4, {255, 128, 0}},
      // L* 50, a* 0, b* 0 is sRGB 119 gray.
      {{"cielab8", 8, 3, PHOTOMETRIC_CIELAB}, {128, 0, 0}, "lab", 8, {119, 119, 119}, 12},
      {{"gray-alpha", 8, 2, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG, 1, 1},
       {0, 128},
       "gray",
       8,
       {127, 127, 127}},
      {{"rgb-clear", 8, 4, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG, 1, 1},
       {255, 0, 0, 0},
       "rgb",
       8,
       {255, 255, 255}},
      {{"signed", 8, 1, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG, SAMPLEFORMAT_INT},
       {0},
       "gray",
       8,
       {128, 128, 128}},
      {{"float", 32, 1, PHOTOMETRIC_MINISBLACK, PLANARCONFIG_CONTIG, SAMPLEFORMAT_IEEEFP},
       {0.25},
       "gray",
       16,
       {64, 64, 64}},
      {{"12bit", 12, 1}, {2048}, "gray", 16, {128, 128, 128}},
      {{"planar", 8, 3, PHOTOMETRIC_RGB, PLANARCONFIG_SEPARATE},
       {0, 0, 255},
       "rgb",
       8,
       {0, 0, 255}},
      // Process inks named in another order than CMYK: each prints as the ink it names.
      {{"two-inks", 8, 2, PHOTOMETRIC_SEPARATED, PLANARCONFIG_CONTIG, 1, 0, COMPRESSION_LZW,
        "Magenta\0Cyan\0"sv},
       {0, 255},
       "cmyk",
       8,
       {0, 173, 239}},
      {{"cyan-plate", 8, 1, PHOTOMETRIC_SEPARATED, PLANARCONFIG_CONTIG, 1, 0, COMPRESSION_LZW,
        "Cyan\0"sv},
       {255},
       "cmyk",
       8,
       {0, 173, 239}},
  };
  Section("sPrinterName=HP_DesignJet_500\n");
  size_t printed = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.spec.name);
    const std::string name = std::string(c.spec.name) + ".tif";
    WriteUniformTiff(printer_ / name, c.spec, c.pixel);
    Process(name);
    const auto jobs = rig_.WaitForJobs("HP_DesignJet_500", ++printed);
    ASSERT_EQ(jobs.size(), printed) << Log();
    const CapturedJob& job = jobs.back();
    const auto placement = ImagePlacement(dir_.path(), job);  // also runs qpdf --check
    ASSERT_EQ(placement.size(), 4u);
    const fs::path pdf = dir_.path() / ("job-" + std::to_string(job.id) + ".pdf");
    std::istringstream list(RunCommand("pdfimages -list " + pdf.string()).output);
    std::string line, colour;
    int bits = 0;
    for (int i = 0; i < 3; ++i) std::getline(list, line);
    std::istringstream fields(line);
    std::string skip;
    for (int i = 0; i < 5; ++i) fields >> skip;
    fields >> colour >> skip >> bits;
    EXPECT_EQ(colour, c.colour) << line;
    EXPECT_EQ(bits, c.bits) << line;

    constexpr int kDpi = 20;
    const testing::Rendered page = testing::Render(pdf, kDpi, false);
    ASSERT_GT(page.width, 0);
    const int x = static_cast<int>((placement[2] + placement[0] / 2) * kDpi / 72);
    const int y = page.height - static_cast<int>((placement[3] + placement[1] / 2) * kDpi / 72);
    for (int channel = 0; channel < 3; ++channel) {
      EXPECT_NEAR(page.At(x, y, channel), c.rgb[channel], c.tolerance) << channel;
    }
  }
  EXPECT_EQ(Log().find("\terror\t"), std::string::npos) << Log();
}

TEST_F(JobOutputTest, HandOffGetsThePathAsOneArgumentAndIsStoppedAtItsTimeOut) {
  const fs::path record = dir_.path() / "args.txt";
  const fs::path app = dir_.path() / "hand off.sh";
  testing::WriteScript(app, "printf '%s|' \"$@\" > '" + record.string() + "'\n");
  // Quotes around the program keep its blank; one pair around the whole value would be stripped.
  Section("sApplication=\"" + app.string() + "\" --flag\n");
  MakePlot(printer_ / "my plan.tif", "A4", false, 50);
  Process("my plan.tif");
  EXPECT_EQ(ReadWholeFile(record), "--flag|" + (printer_ / "my plan.tif").string() + "|");
  EXPECT_TRUE(Logged("info", "Copy my plan.tif on \"" + app.string() + "\" --flag")) << Log();

  HandOffTimeoutSeconds = 1;
  const fs::path never = dir_.path() / "never.sh";
  testing::WriteScript(never, "exec sleep 60\n");
  Section("sApplication=" + never.string() + "\n");
  MakePlot(printer_ / "plan.tif", "A4", false, 50);
  Process("plan.tif");
  EXPECT_TRUE(Logged("error", "0 plan.tif on " + never.string())) << Log();
}

TEST_F(JobOutputTest, UnreachablePrintServerLeavesTheJobForALaterTick) {
  Section("sPrinterName=HP*\n");
  const fs::path job = printer_ / "plan.tif";
  MakePlot(job, "A4", false, 100);
  rig_.Halt();
  TakeOverFile(job.string());
  EXPECT_TRUE(fs::exists(job));
  EXPECT_NE(Log().find("' '482' " + job.string() + "\r\n"), std::string::npos) << Log();
  EXPECT_EQ(Log().find("not installed"), std::string::npos);

  rig_.Restart();
  TakeOverFile(job.string());
  EXPECT_FALSE(fs::exists(job));
  EXPECT_EQ(rig_.WaitForJobs("HP_DesignJet_500", 1).size(), 1u);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(rig_.CapturedJobs("HP_DesignJet_500").size(), 1u) << "printed exactly once";
}

// Pages are followed after the hand-over, without waiting for them and across a restart: a
// completed one drops the plot kept aside (an "Info" line with AdminLog on); a cancelled one keeps
// it with an "error" line naming the queue, the job and the print system's reason; one held by a
// stopped queue or a device that cannot be written is reported once and followed on.
TEST_F(JobOutputTest, PrintsAreFollowedUntilThePrintSystemSettlesThem) {
  rig_.AddFailingQueue("Broken", "Broken M");
  rig_.AddCaptureQueue("Paused", "Paused M");
  rig_.DisableQueue("Paused");
  const std::map<std::string, std::string> queue_of = {{"good", "HP_DesignJet_500"},
                                                       {"broken", "Broken"},
                                                       {"paused", "Paused"},
                                                       {"cancel", "Paused"}};
  std::string ini;
  for (const auto& [name, queue] : queue_of) ini += "[" + name + "]\nsPrinterName=" + queue + "\n";
  WriteWholeFile(IniFile, ini);
  ServiceSettings.AdminLog = "1";
  platform::SetTransferRoot(root_.string() + "/");
  for (const auto& [name, queue] : queue_of) {
    fs::create_directories(root_ / name);
    MakePlot(root_ / name / (name + ".tif"), "A4", false, 50);
    TakeOverFile((root_ / name / (name + ".tif")).string());
    EXPECT_FALSE(fs::exists(root_ / name / (name + ".tif"))) << name;
  }
  std::map<std::string, OpenPrint> open;
  for (const OpenPrint& print : OpenPrints()) open[print.file_name] = print;
  ASSERT_EQ(open.size(), 4u) << Log();
  for (const auto& [name, print] : open) {
    EXPECT_TRUE(fs::exists(print.kept)) << name << " kept aside";
    EXPECT_EQ(fs::path(print.kept).parent_path().filename(), ".plotspool.gedruckt");
  }
  rig_.CancelJob(open["cancel.tif"].sent.job_id);

  ResetOpenPrints();  // as a restart: the list comes back from its file
  for (int round = 0; round < 100 && OpenPrints().size() > 2; ++round) {
    FollowOpenPrints(true);
    std::this_thread::sleep_for(200ms);
  }
  // Further rounds on a page still stopped say nothing new.
  for (int round = 0; round < 3; ++round) FollowOpenPrints(true);
  std::set<std::string> still_open;
  for (const OpenPrint& print : OpenPrints()) still_open.insert(print.file_name);
  EXPECT_EQ(still_open, (std::set<std::string>{"broken.tif", "paused.tif"})) << Log();

  const auto job = [&](const std::string& file) {
    return file + " auf " + open[file].sent.queue + " (Auftrag " +
           std::to_string(open[file].sent.job_id) + ")";
  };
  EXPECT_TRUE(Logged("Info", "Druck abgeschlossen: " + job("good.tif"))) << Log();
  EXPECT_FALSE(fs::exists(open["good.tif"].kept));
  EXPECT_TRUE(InProcessServiceTest::Logged(
      "\terror\tDruck nicht ausgefuehrt: " + job("cancel.tif") + " abgebrochen '"))
      << Log();
  EXPECT_TRUE(
      InProcessServiceTest::Logged("Datei aufbewahrt unter '" + open["cancel.tif"].kept + "'\r\n"))
      << Log();
  EXPECT_TRUE(fs::exists(open["cancel.tif"].kept));
  for (const std::string file : {"broken.tif", "paused.tif"}) {
    const std::string line = "\terror\tDruck angehalten: " + job(file) + " '";
    const std::string log = Log();
    const auto first = log.find(line);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(line, first + 1), std::string::npos) << "reported once: " << file;
    EXPECT_TRUE(fs::exists(open[file].kept));
  }
  const fs::path metrics = dir_.path() / "metrics.prom";
  PublishMetrics(metrics.string());
  const std::string counted = ReadWholeFile(metrics);
  EXPECT_NE(counted.find("plotspool_print_outcomes_total{section=\"good\",state=\"completed\"} 1"),
            std::string::npos)
      << counted;
  EXPECT_NE(counted.find("plotspool_print_outcomes_total{section=\"cancel\",state=\"canceled\"} 1"),
            std::string::npos)
      << counted;
  platform::SetTransferRoot("");
}

// The road of one file, as a user runs the service.
TEST(RoadOfOneFileTest, PlanIsTurnedPrintedCopiedLoggedAndRemoved) {
  testing::TempDir dir;
  CupsRig rig;
  rig.AddCaptureQueue("plotter_a1", "Large Format A1");
  const fs::path root = dir.path() / "root";
  const fs::path printer = root / "Plotter1";
  const fs::path out = dir.path() / "out";
  const fs::path temp = dir.path() / "tmp";
  fs::create_directories(printer);
  fs::create_directories(temp);
  testing::ServiceUnderTest service(dir.path(),
                                    {"CUPS_SERVER=" + rig.address(), "TMPDIR=" + temp.string()});
  WriteWholeFile(service.ini(),
                 "[Global]\nWartezeit=0\nAdminLog=0\nUebergabePfad=" + root.string() +
                     "/\nProgrammEnde=0\n[Plotter1]\n" +
                     "sOrientationA1=H\nsPrinterName=plot*\nsOutputFolder=" + out.string() + "\n");
  MakePlot(dir.path() / "plan.tif", "A1", true, 300);
  fs::rename(dir.path() / "plan.tif", printer / "plan.tif");
  ASSERT_GT(service.Start(), 0);

  const auto jobs = rig.WaitForJobs("plotter_a1", 1, 30s);
  ASSERT_TRUE(WaitFor([&] { return !fs::exists(printer / "plan.tif"); }, 10s));
  service.RequestStop();
  EXPECT_EQ(service.WaitForExit(5s), 0);

  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_TRUE(HasOption(jobs[0], "media=iso_a1_594x841mm")) << jobs[0].options;
  const fs::path pdf = dir.path() / "page.pdf";
  testing::WriteBytes(pdf, jobs[0].document);
  EXPECT_NE(RunCommand("pdfinfo " + pdf.string()).output.find("1683.78 x 2383.94 pts"),
            std::string::npos);
  EXPECT_NE(RunCommand("pdfimages -list " + pdf.string()).output.find(" 7016  9933 "),
            std::string::npos);
  // Printable area 584 x 831 mm: the turned 594 x 841 mm image is scaled to the width.
  const auto placement = ImagePlacement(dir.path(), jobs[0]);
  ASSERT_EQ(placement.size(), 4u);
  EXPECT_NEAR(placement[0], Points(584), 0.5);
  EXPECT_NEAR(placement[2], Points(5), 0.5);
  EXPECT_NEAR(placement[3] + placement[1], Points(841 - 5), 0.5) << "top left of the area";

  EXPECT_EQ(TiffWidth(out / "plan.tif"), 7016u) << "the copy is the turned plot";
  const std::string log = ReadWholeFile(service.log());
  EXPECT_NE(log.find("\tinfo\tPrint plan.tif on plot*\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tinfo\tCopy plan.tif on " + out.string() + "/\r\n"), std::string::npos)
      << log;
  EXPECT_TRUE(fs::is_empty(temp));
}

}  // namespace
}  // namespace plotspool
