#include "platform/printer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "cups_rig.h"
#include "jobs/like_pattern.h"
#include "pdf_check.h"
#include "test_picture.h"

#include "test_support.h"

namespace plotspool::platform {
namespace {

namespace fs = std::filesystem;
using plotspool::testing::CapturedJob;
using plotspool::testing::CupsRig;
using plotspool::testing::CupsServerOverride;
using plotspool::testing::Format;
using plotspool::testing::Render;
using plotspool::testing::Rendered;
using plotspool::testing::RunCommand;
using plotspool::testing::TestPicture;
using plotspool::testing::UnusedLoopbackPort;
using plotspool::testing::WriteBytes;

constexpr char kA1[] = "iso_a1_594x841mm";

using testing::ErrorNumberOf;

InstalledPrinter Find(const std::string& name) {
  for (const InstalledPrinter& printer : InstalledPrinters()) {
    if (printer.device_name == name) return printer;
  }
  ADD_FAILURE() << name << " is not installed";
  return {};
}

// The value pdfinfo gives for `key`, e.g. "Page size" -> "1683.78 x 2383.94 pts (A1)".
std::string InfoValue(const std::string& info, const std::string& key) {
  const size_t at = info.find("\n" + key + ":");
  if (at == std::string::npos) return "";
  const size_t begin = info.find_first_not_of(' ', at + key.size() + 2);
  return info.substr(begin, info.find('\n', begin) - begin);
}

// Writes a captured document beside the rig, checks it is a sound one-page PDF and returns
// its page size as pdfinfo gives it.
std::string CheckPdf(const CupsRig& rig, const CapturedJob& job, fs::path* saved = nullptr) {
  const fs::path path = fs::path(rig.directory()) / ("job-" + std::to_string(job.id) + ".pdf");
  WriteBytes(path, job.document);
  const auto check = RunCommand("qpdf --check " + path.string());
  EXPECT_EQ(check.status, 0) << check.output;
  const std::string info = "\n" + RunCommand("pdfinfo " + path.string()).output;
  EXPECT_EQ(InfoValue(info, "Pages"), "1");
  if (saved != nullptr) *saved = path;
  return InfoValue(info, "Page size");
}

TEST(PrinterTest, ListsQueuesInServerOrderWithTheirMakeAndModel) {
  CupsRig rig;
  EXPECT_TRUE(InstalledPrinters().empty());  // a server without queues is no failure
  rig.AddCaptureQueue("HP_DesignJet_500", "HP DesignJet 500");
  rig.AddCaptureQueue("Canon_X", "Canon X");
  const std::vector<InstalledPrinter> printers = InstalledPrinters();
  ASSERT_EQ(printers.size(), 2u);
  EXPECT_EQ(printers[0].device_name, "Canon_X");
  EXPECT_EQ(printers[0].driver_name, "Canon X");
  EXPECT_EQ(printers[1].device_name, "HP_DesignJet_500");
  EXPECT_EQ(printers[1].driver_name, "HP DesignJet 500");
}

TEST(PrinterTest, PrintsOnePagePdfJobWithTitleMediaAndPicturePlacement) {
  CupsRig rig;
  rig.AddCaptureQueue("Canon_X", "Canon X");
  rig.AddCaptureQueue("HP_DesignJet_500", "HP DesignJet 500");
  Printer printer;
  printer.Select(Find("HP_DesignJet_500"));
  printer.SetPaper(kA1);
  // The queue's A1 has 5 mm margins: the printable area is 584 x 831 mm.
  EXPECT_EQ(printer.PageWidthTwips(), 33109);
  EXPECT_EQ(printer.PageHeightTwips(), 47112);

  // Black picture of 100 x 50 mm (5669 x 2835 twips), 2 x 1 pixels so scaling shows.
  TestPicture picture(Format(2, 1, 1, 1, true), [](uint32_t, uint32_t) { return 1u; });
  printer.DrawPicture(picture, 0, 0, 5669, 2835);
  printer.EndDoc("plan.tif");

  printer.SetOrientation(kLandscape);
  EXPECT_EQ(printer.PageWidthTwips(), 47112);
  EXPECT_EQ(printer.PageHeightTwips(), 33109);
  printer.DrawPicture(picture, 0, 0, 5669, 2835);
  printer.EndDoc("plan 2.tif");

  const std::vector<CapturedJob> jobs = rig.WaitForJobs("HP_DesignJet_500", 2);
  ASSERT_EQ(jobs.size(), 2u);
  EXPECT_EQ(jobs[0].title, "plan.tif");
  EXPECT_EQ(jobs[1].title, "plan 2.tif");
  for (const CapturedJob& job : jobs) {
    EXPECT_NE((" " + job.options + " ").find(" media=iso_a1_594x841mm "), std::string::npos)
        << job.options;
  }
  EXPECT_EQ(CheckPdf(rig, jobs[0]), "1683.78 x 2383.94 pts (A1)");
  fs::path landscape;
  EXPECT_EQ(CheckPdf(rig, jobs[1], &landscape), "2383.94 x 1683.78 pts (A1)");

  // At 10 dpi the 5 mm margin is 2 pixels and the picture 39 x 20 pixels.
  const Rendered page = Render(landscape, 10, true);
  ASSERT_EQ(page.width, 332);
  EXPECT_GT(page.At(0, 0), 192);  // margin
  EXPECT_LT(page.At(3, 3), 64);
  EXPECT_LT(page.At(38, 19), 64);
  EXPECT_GT(page.At(45, 10), 192);
  EXPECT_GT(page.At(10, 25), 192);
  EXPECT_TRUE(rig.CapturedJobs("Canon_X").empty());
}

TEST(PrinterTest, PaperAndOrientationSettings) {
  CupsRig rig;
  rig.AddCaptureQueue("Canon_X", "Canon X");
  Printer printer;
  EXPECT_EQ(printer.PageWidthTwips(), 0);
  printer.Select(Find("Canon_X"));
  // The queue's default paper until another is set.
  EXPECT_FALSE(printer.paper_name().empty());
  EXPECT_GT(printer.PageWidthTwips(), 0);

  printer.SetPaper("na_d_22x34in");  // known to the queue: margins included
  EXPECT_EQ(printer.PageWidthTwips(), std::lround((558.8 - 10) * 1440 / 25.4));
  EXPECT_EQ(printer.PageHeightTwips(), std::lround((863.6 - 10) * 1440 / 25.4));
  printer.SetPaper("custom_plan_100x200mm");  // unknown to the queue: the size the name states
  EXPECT_EQ(printer.PageWidthTwips(), 5669);
  EXPECT_EQ(printer.PageHeightTwips(), 11339);
  EXPECT_EQ(printer.paper_name(), "custom_plan_100x200mm");

  for (const char* bad : {"", "A1", "iso_a1", "nonsense_594x841", "x_0x841mm", "x_-5x841mm"}) {
    EXPECT_EQ(ErrorNumberOf([&] { printer.SetPaper(bad); }), kInvalidPropertyValue) << bad;
  }
  EXPECT_EQ(printer.PageWidthTwips(), 5669);  // the paper stayed
  EXPECT_EQ(ErrorNumberOf([&] { printer.SetOrientation(0); }), kInvalidPropertyValue);
  EXPECT_EQ(ErrorNumberOf([&] { printer.SetOrientation(3); }), kInvalidPropertyValue);
  EXPECT_EQ(printer.orientation(), kPortrait);

  TestPicture picture(Format(8, 8, 8, 1), [](uint32_t, uint32_t) { return 0u; });
  EXPECT_EQ(ErrorNumberOf([&] { printer.DrawPicture(picture, 0, 0, 0, 100); }),
            kInvalidPropertyValue);
  printer.DrawPicture(picture, 0, 0, 100, 100);
  EXPECT_EQ(ErrorNumberOf([&] { printer.DrawPicture(picture, 0, 0, 100, 100); }),
            kInvalidProcedureCall);
}

// Pseudo-random RGB: it does not compress, so the send takes long enough to be cut.
uint32_t Noise(uint32_t x, uint32_t y) {
  uint32_t v = x * 2654435761u ^ (y + 0x9E3779B9u) * 40503u;
  v ^= v >> 13;
  return v * 0x5bd1e995u >> 8;
}

TEST(PrinterTest, PictureFailingMidSendCancelsTheJobAndTheQueuePrintsOn) {
  CupsRig rig;
  rig.AddCaptureQueue("Canon_X", "Canon X");
  Printer printer;
  printer.Select(Find("Canon_X"));
  printer.SetPaper(kA1);
  TestPicture picture(Format(2000, 2000, 8, 3), Noise);
  picture.EndAfter(1500);
  printer.DrawPicture(picture, 0, 0, 14400, 14400);
  EXPECT_EQ(ErrorNumberOf([&] { printer.EndDoc("broken.tif"); }), kInputPastEndOfFile);
  EXPECT_TRUE(rig.ActiveJobs().empty());

  // The page is empty again: nothing more is sent for it.
  printer.EndDoc("nothing.tif");
  TestPicture small(Format(8, 8, 1, 1), [](uint32_t, uint32_t) { return 0u; });
  printer.DrawPicture(small, 0, 0, 1440, 1440);
  printer.EndDoc("good.tif");
  const std::vector<CapturedJob> jobs = rig.WaitForJobs("Canon_X", 1);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0].title, "good.tif");
  EXPECT_TRUE(rig.ActiveJobs().empty());
}

TEST(PrinterTest, ServerStoppedMidSendIsAFailureAndLeavesNoJobBehind) {
  CupsRig rig;
  rig.AddCaptureQueue("Canon_X", "Canon X");
  Printer printer;
  printer.Select(Find("Canon_X"));
  printer.SetPaper(kA1);
  TestPicture picture(Format(2000, 4000, 8, 3), Noise);
  picture.OnRow([&](uint32_t row) {
    if (row == 1000) rig.Halt();
  });
  printer.DrawPicture(picture, 0, 0, 14400, 14400);
  EXPECT_EQ(ErrorNumberOf([&] { printer.EndDoc("plan.tif"); }), kPrinterError);

  // The server keeps the begun job waiting for its document; the next contact cancels it.
  rig.Restart();
  EXPECT_EQ(InstalledPrinters().size(), 1u);
  EXPECT_TRUE(rig.ActiveJobs().empty()) << rig.ActiveJobs().front();
  EXPECT_TRUE(rig.CapturedJobs("Canon_X").empty());
}

TEST(PrinterTest, UnreachablePrintSystemIsADistinctFailure) {
  CupsServerOverride nowhere("127.0.0.1:" + std::to_string(UnusedLoopbackPort()));
  EXPECT_THROW(InstalledPrinters(), PrintSystemUnavailable);
  Printer printer;
  printer.Select({"Canon_X", "Canon X"});
  printer.SetPaper(kA1);  // the size is in the name
  TestPicture picture(Format(8, 8, 8, 1), [](uint32_t, uint32_t) { return 0u; });
  printer.DrawPicture(picture, 0, 0, 1440, 1440);
  try {
    printer.EndDoc("plan.tif");
    ADD_FAILURE() << "no failure";
  } catch (const PrintSystemUnavailable& e) {
    EXPECT_EQ(e.number(), kPrinterError);
  }
}

}  // namespace
}  // namespace plotspool::platform
