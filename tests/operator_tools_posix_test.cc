// The operator's tools against the real executable: the dry run of a job, the settings check
// and the metrics file of a running service.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cups_rig.h"
#include "test_support.h"

namespace plotspool {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::ReadWholeFile;
using testing::WaitFor;
using testing::WriteWholeFile;

class OperatorToolsTest : public ::testing::Test {
 protected:
  OperatorToolsTest() {
    fs::create_directories(root_ / "P1");
    fs::create_directories(dir_.path() / "tmp");
  }

  // Runs the executable with `args`; the environment is the test's own with `environment_`
  // taking precedence.
  testing::ProgramRun Run(const std::vector<std::string>& args) {
    return testing::RunProgram(service_.executable(), args, environment_, 20s);
  }

  void Settings(const std::string& sections) {
    WriteWholeFile(service_.ini(),
                   "[Global]\nWartezeit=0\nAdminLog=0\nUebergabePfad=" + root_.string() +
                       "/\nProgrammEnde=0\nMetricsFile=\n" + sections);
  }

  // Every file below the test directory with its bytes.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      files[entry.path().string()] = entry.is_regular_file() ? ReadWholeFile(entry.path()) : "";
    }
    return files;
  }

  testing::TempDir dir_;
  fs::path root_ = dir_.path() / "root";
  fs::path out_ = dir_.path() / "out";
  testing::ServiceUnderTest service_{dir_.path()};
  std::vector<std::string> environment_{std::string(testing::kTempDirVariable) + "=" +
                                        (dir_.path() / "tmp").string() + "/"};
};

void ExpectLines(const std::string& output, const std::vector<std::string>& expected) {
  for (const std::string& text : expected) {
    EXPECT_NE(output.find(text), std::string::npos) << "missing: " << text << "\n" << output;
  }
}

TEST_F(OperatorToolsTest, ExplainTellsWhatAJobWouldDoAndChangesNothing) {
  testing::CupsRig rig;
  rig.AddCaptureQueue("Canon_X", "Canon X");
  rig.AddCaptureQueue("HP_DesignJet", "HP DesignJet 500");
  Settings("[P1]\nsApplication=/bin/true --job\nsPrinterName=hp*\nsOutputFolder=" + out_.string() +
           "\nsOrientationA1=H\n");
  const fs::path plot = root_ / "P1" / "plan.tif";
  testing::MakePlot(plot, "A1", /*landscape=*/true);
  const auto before = Snapshot();

  const testing::ProgramRun outcome = Run({"--explain", plot.string()});
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  ExpectLines(outcome.out,
              {"section: \"P1\" (the file's directory)\n",
               "  sOrientationA1: \"H\" (from the file)\n", "  sPN_A1: \"151\" (default)\n",
               "type: TIFF image\n", "format: A1, landscape (Q)\n", "output format: \"A1\"\n",
               "turn: yes", "hand-off program: /bin/true,", "  argument 1: \"--job\"\n",
               "  argument 2: \"" + plot.string() + "\"\n", "queue Canon_X: does not match \"hp*\"",
               "queue HP_DesignJet: selected by \"hp*\" (HP DesignJet 500)\n",
               "paper number: \"151\" for output format \"A1\", media iso_a1_594x841mm\n",
               "print orientation: portrait\n", "scale: factor ",
               "copy to: " + out_.string() + "/plan.tif", "outcome: the job would succeed\n"});
  EXPECT_EQ(Snapshot(), before) << "the dry run changed a file";
  EXPECT_TRUE(rig.CapturedJobs("HP_DesignJet").empty());
}

TEST_F(OperatorToolsTest, ExplainSaysWhyAJobWouldFailBesideTheRunningService) {
  environment_.push_back("CUPS_SERVER=127.0.0.1:" + std::to_string(testing::UnusedLoopbackPort()));
  // The service waits 30 x 30 s before it looks at a file, so the files stay as they are.
  Settings("[Other]\nsPrinterName=x*\n");
  std::string ini = ReadWholeFile(service_.ini());
  ini.replace(ini.find("Wartezeit=0"), 11, "Wartezeit=30");
  WriteWholeFile(service_.ini(), ini);
  ASSERT_GT(service_.Start(), 0);

  const fs::path p1 = root_ / "P1";
  WriteWholeFile(p1 / "note.txt", "hello");
  WriteWholeFile(p1 / "short.tif", "II");
  testing::MakePlot(dir_.path() / "inner.tif", "A3");
  testing::MakeZip(p1 / "job.zip", {{"inner.tif", ReadWholeFile(dir_.path() / "inner.tif")}});
  testing::MakeZip(p1 / "evil.zip", {{"../x.tif", "II*\0"}});
  testing::MakePlot(p1 / "plan.tif", "A4");
  std::this_thread::sleep_for(1500ms);  // the service has read its settings and waits
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {{(p1 / "note.txt").string()},
       1,
       {"type: neither TIFF nor ZIP\n", "13 Type mismatch", "file afterwards: moved aside"}},
      {{(p1 / "short.tif").string()}, 1, {"62 Input past end of file"}},
      {{(p1 / "missing.tif").string()}, 1, {"53 File not found", "left in the transfer tree"}},
      {{(p1 / "job.zip").string()},
       0,
       {"type: ZIP archive\n", "archive level 1: first entry \"inner.tif\"",
        "member type: TIFF image\n", "format: A3, portrait (H)\n", "print: none"}},
      {{(p1 / "evil.zip").string()}, 1, {"unsafe member name: ../x.tif", "moved aside"}},
      {{(p1 / "plan.tif").string(), "--printer", "Other"},
       1,
       {"section: \"Other\" (named by --printer)\n", "the print system cannot be reached",
        "file afterwards: left in the transfer tree"}},
  };
  const auto before = Snapshot();
  for (const Case& test : cases) {
    std::vector<std::string> args = {"--explain"};
    args.insert(args.end(), test.args.begin(), test.args.end());
    const testing::ProgramRun outcome = Run(args);
    EXPECT_EQ(outcome.status, test.status) << test.args[0] << "\n" << outcome.out;
    ExpectLines(outcome.out, test.lines);
  }
  EXPECT_TRUE(service_.Running());
  EXPECT_EQ(Snapshot(), before) << "a dry run changed a file";
}

TEST_F(OperatorToolsTest, CheckSettingsReportsEveryProblemAndWritesNothing) {
  testing::CupsRig rig;
  rig.AddCaptureQueue("HP_DesignJet", "HP DesignJet 500");
  const std::string program_folder = dir_.path().string() + "/";
  WriteWholeFile(service_.ini(),
                 "[Global]\nWartezeit=ten\nAdminLog=0\nUebergabePfad=" + program_folder +
                     "\nProgrammEnde=0\nColour=blue\n[PaperNumbers]\n999=iso_b0_1000x1414mm\n"
                     "[P1]\nsPrinterName=hp*\nsOrientationA4=q\nsChangeA3=a3\nsPN_A2=777\n"
                     "sPN_A1=999\nsOutputFolder=" +
                     program_folder +
                     "copies\nsBogus=1\n[P2]\nsPrinterName=nothing*\n"
                     "sOutputFolder=/dev/null/out\n[p1]\nsPN_A4=1\n");
  const auto before = Snapshot();
  const testing::ProgramRun outcome = Run({"--check-settings"});
  EXPECT_EQ(outcome.status, 1);
  ExpectLines(
      outcome.out,
      {"[Global] Wartezeit = \"ten\": not a whole number",
       "[Global] Colour = \"blue\": unknown key",
       "[Global] UebergabePfad = \"" + program_folder + "\": the transfer root holds",
       "[P1] sOrientationA4 = \"q\": neither Q nor H", "[P1] sChangeA3 = \"a3\": no format code",
       "[P1] sPN_A2 = \"777\": no entry in [PaperNumbers]",
       "[P1] sPN_A1 = \"999\": queue HP_DesignJet does not offer media "
       "iso_b0_1000x1414mm",
       "[P1] sBogus = \"1\": unknown key",
       "[P1] sOutputFolder = \"" + program_folder + "copies/\": lies in the transfer tree",
       "[P2] sPrinterName = \"nothing*\": matches no installed queue",
       "[P2] sOutputFolder = \"/dev/null/out/\": cannot be written",
       "[p1] sPN_A4 = \"1\": never read", "; 12 problem(s)\n"});
  EXPECT_EQ(Snapshot(), before);

  Settings("[P1]\nsPrinterName=hp*\nsOrientationA1=H\nsPN_A1=151\n");
  const testing::ProgramRun clean = Run({"--check-settings"});
  EXPECT_EQ(clean.status, 0) << clean.out;
  EXPECT_NE(clean.out.find("checked: 1 printer section(s); 0 problem(s)\n"), std::string::npos)
      << clean.out;
}

TEST_F(OperatorToolsTest, MetricsCountWhatTheServiceDid) {
  const fs::path metrics = dir_.path() / "metrics.prom";
  Settings("[P1]\nsOutputFolder=" + out_.string() + "\nsOrientationA4=Q\n");
  std::string ini = ReadWholeFile(service_.ini());
  ini.replace(ini.find("MetricsFile="), 12, "MetricsFile=" + metrics.string());
  WriteWholeFile(service_.ini(), ini);
  fs::create_directories(dir_.path() / "run");
  testing::ServiceUnderTest service(dir_.path() / "run", environment_);
  fs::copy_file(service_.ini(), service.ini());
  ASSERT_GT(service.Start(), 0);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(metrics); }, 10s));
  EXPECT_NE(ReadWholeFile(metrics).find("plotspool_files_waiting 0\n"), std::string::npos);

  testing::MakePlot(dir_.path() / "plan.tif", "A4");
  const auto plot_bytes = fs::file_size(dir_.path() / "plan.tif");
  fs::rename(dir_.path() / "plan.tif", root_ / "P1" / "plan.tif");
  WriteWholeFile(root_ / "P1" / "note.txt", "no plot");
  const auto counted = [&] {
    const std::string text = ReadWholeFile(metrics);
    return text.find("plotspool_jobs_done_total{section=\"P1\"} 1\n") != std::string::npos &&
           text.find("plotspool_jobs_refused_total{section=\"P1\"} 1\n") != std::string::npos;
  };
  EXPECT_TRUE(WaitFor(counted, 20s)) << ReadWholeFile(metrics);
  ExpectLines(ReadWholeFile(metrics), {"# TYPE plotspool_jobs_done_total counter\n",
                                       "plotspool_jobs_turned_total{section=\"P1\"} 1\n",
                                       "plotspool_jobs_copied_total{section=\"P1\"} 1\n",
                                       "plotspool_jobs_printed_total{section=\"P1\"} 0\n",
                                       "plotspool_jobs_handed_off_total{section=\"P1\"} 0\n",
                                       "plotspool_taken_over_bytes_total{section=\"P1\"} " +
                                           std::to_string(plot_bytes + 7) + "\n",
                                       "plotspool_files_waiting 0\n"});
  EXPECT_EQ(ReadWholeFile(metrics).find("plotspool_last_success_timestamp_seconds 0\n"),
            std::string::npos);
  service.RequestStop();
  EXPECT_EQ(service.WaitForExit(5s), 0);
}

}  // namespace
}  // namespace plotspool
