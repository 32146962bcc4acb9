// The real service killed with SIGKILL at random moments while a stream of jobs arrives: no job
// may be lost, nothing it writes may be corrupt, and nothing it no longer needs may stay behind.
// Short by default; PLOTSPOOL_CRASH_JOBS, PLOTSPOOL_CRASH_KILLS and PLOTSPOOL_CRASH_SEED make it
// longer or replay a run (the seed is printed).
#include <gtest/gtest.h>
#include <signal.h>
#include <tiffio.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "cups_rig.h"
#include "pdf_check.h"
#include "sample_plot.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::CupsRig;
using testing::RunCommand;
using testing::WaitFor;

unsigned EnvNumber(const char* name, unsigned fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? static_cast<unsigned>(std::stoul(value)) : fallback;
}

// One job of the stream. Each has its own name and its own short side, so a printed page or an
// output copy can be traced to the file it came from. A4 at 50 dpi: the long side is fixed by
// the format, the short side is free.
struct CrashJob {
  std::string name;
  std::string printer;
  uint32_t short_side = 0;
  bool landscape = false;  // turned to portrait by the profile
  bool zip = false;
};

constexpr uint32_t kLongSide = 585;  // 297 mm at 50 dpi
constexpr double kDpi = 50;

void WriteJob(const CrashJob& job, const fs::path& staging, const fs::path& target) {
  const uint32_t width = job.landscape ? kLongSide : job.short_side;
  const uint32_t height = job.landscape ? job.short_side : kLongSide;
  SampleTiffOptions options;
  options.dpi = kDpi;
  const fs::path tiff = staging / (job.name + ".member.tif");
  WriteSampleTiff(tiff.string(), {DrawSamplePlot(width, height, kDpi, SampleKind::kBilevel)},
                  options);
  fs::path ready = tiff;
  if (job.zip) {
    ready = staging / (job.name + ".ready");
    testing::MakeZip(ready, {{"m-" + job.name + ".tif", testing::ReadWholeFile(tiff)}});
    fs::remove(tiff);
  }
  // Dropped in one step, as a sender that writes under another name and renames.
  fs::rename(ready, target);
}

// Width and height of the first page, and whether every strip or tile of it decodes.
struct TiffCheck {
  bool decodes = false;
  uint32_t width = 0, height = 0;
};

TiffCheck CheckTiff(const fs::path& path) {
  TiffCheck check;
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return check;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &check.width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &check.height);
  std::vector<uint8_t> buffer(TIFFStripSize(tiff));
  check.decodes = check.width > 0 && check.height > 0;
  for (tstrip_t s = 0; check.decodes && s < TIFFNumberOfStrips(tiff); ++s) {
    check.decodes = TIFFReadEncodedStrip(tiff, s, buffer.data(), buffer.size()) >= 0;
  }
  TIFFClose(tiff);
  return check;
}

// Width and height of the one image of a printed page, or {0, 0}.
std::pair<int, int> PdfImageSize(const fs::path& pdf) {
  const std::string listing = RunCommand("pdfimages -list " + pdf.string()).output;
  std::istringstream lines(listing);
  std::string line;
  std::getline(lines, line);
  std::getline(lines, line);
  if (!std::getline(lines, line)) return {0, 0};
  std::istringstream fields(line);
  int page = 0, number = 0, width = 0, height = 0;
  std::string type;
  fields >> page >> number >> type >> width >> height;
  return {width, height};
}

// Regular files and everything else below `dir`, as paths relative to it.
std::vector<std::string> FilesBelow(const fs::path& dir) {
  std::vector<std::string> files;
  if (!fs::exists(dir)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_directory()) files.push_back(fs::relative(entry.path(), dir).string());
  }
  return files;
}

bool VisibleJobsLeft(const fs::path& root) {
  for (const std::string& file : FilesBelow(root)) {
    if (fs::path(file).filename().string()[0] != '.') return true;
  }
  return false;
}

TEST(CrashTest, KilledAtRandomTheServiceLosesNoJobAndLeavesNothingBehind) {
  const unsigned job_count = EnvNumber("PLOTSPOOL_CRASH_JOBS", 30);
  const unsigned kills = EnvNumber("PLOTSPOOL_CRASH_KILLS", std::max(8u, job_count / 4));
  const unsigned seed = EnvNumber("PLOTSPOOL_CRASH_SEED", std::random_device{}());
  std::cout << "crash run: PLOTSPOOL_CRASH_SEED=" << seed << " PLOTSPOOL_CRASH_JOBS=" << job_count
            << " PLOTSPOOL_CRASH_KILLS=" << kills << std::endl;
  RecordProperty("seed", std::to_string(seed));
  std::mt19937 random(seed);

  testing::TempDir dir;
  CupsRig rig;
  rig.AddCaptureQueue("crash_plotter", "Crash Plotter");
  const fs::path root = dir.path() / "root";
  const fs::path out = dir.path() / "out";
  const fs::path temp = dir.path() / "tmp";
  const fs::path staging = dir.path() / "staging";
  const std::vector<std::string> printers = {"PlotterA", "PlotterB"};
  for (const std::string& printer : printers) fs::create_directories(root / printer);
  fs::create_directories(temp);
  fs::create_directories(staging);
  const fs::path home = dir.path() / "service";
  fs::create_directories(home);
  testing::ServiceUnderTest service(home,
                                    {"CUPS_SERVER=" + rig.address(), "TMPDIR=" + temp.string()});
  std::string ini =
      "[Global]\nWartezeit=0\nAdminLog=0\nUebergabePfad=" + root.string() + "/\nProgrammEnde=0\n";
  for (const std::string& printer : printers) {
    ini += "[" + printer +
           "]\nsOrientationA4=H\nsPrinterName=crash_plotter\nsOutputFolder=" + out.string() + "/\n";
  }
  testing::WriteWholeFile(service.ini(), ini);

  std::vector<CrashJob> jobs(job_count);
  std::map<std::string, const CrashJob*> by_name;
  for (unsigned i = 0; i < job_count; ++i) {
    CrashJob& job = jobs[i];
    job.zip = random() % 3 == 0;
    job.landscape = random() % 2 == 0;
    job.printer = printers[random() % printers.size()];
    job.short_side = 300 + i % 280;  // below the long side; unique up to 280 jobs
    char name[32];
    std::snprintf(name, sizeof name, "crash-%03u.%s", i, job.zip ? "zip" : "tif");
    job.name = name;
    by_name[job.name] = &job;
  }

  // Each life of the service gets its share of the stream, dropped at random moments, and ends
  // with SIGKILL at a random moment: mostly while it works, since the first tick comes after 1 s.
  size_t next_job = 0;
  unsigned kills_done = 0;
  for (unsigned life = 0; life < kills; ++life) {
    ASSERT_GT(service.Start(), 0);
    const auto started = std::chrono::steady_clock::now();
    const auto lifetime = std::chrono::milliseconds(700 + random() % 2300);
    const size_t share = (job_count * (life + 1)) / (kills + 1) - next_job;
    std::vector<std::chrono::milliseconds> drops;
    for (size_t k = 0; k < share; ++k) drops.emplace_back(random() % lifetime.count());
    std::sort(drops.begin(), drops.end());
    for (const auto& at : drops) {
      std::this_thread::sleep_until(started + at);
      const CrashJob& job = jobs[next_job++];
      WriteJob(job, staging, root / job.printer / job.name);
    }
    std::this_thread::sleep_until(started + lifetime);
    ASSERT_TRUE(service.Running()) << "the service ended by itself in life " << life;
    service.Signal(SIGKILL);
    ASSERT_EQ(service.WaitForExit(5s), 128 + SIGKILL);
    ++kills_done;
  }

  // The last life drops the rest and runs until everything has been taken over.
  ASSERT_GT(service.Start(), 0);
  while (next_job < jobs.size()) {
    const CrashJob& job = jobs[next_job++];
    WriteJob(job, staging, root / job.printer / job.name);
  }
  const bool quiet =
      WaitFor([&] { return !VisibleJobsLeft(root); }, std::chrono::seconds(30 + job_count));
  // The print server finishes what it was given.
  std::vector<testing::CapturedJob> printed;
  std::set<std::string> titles;
  WaitFor(
      [&] {
        printed = rig.CapturedJobs("crash_plotter");
        titles.clear();
        for (const auto& p : printed) titles.insert(p.title);
        return titles.size() >= job_count;
      },
      30s);
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(10s), 0);
  EXPECT_TRUE(quiet) << "jobs still in the transfer tree after the last restart";

  // Every job printed at least once, each page sound and showing its own job, turned upright.
  std::map<std::string, int> prints;
  for (const auto& page : printed) {
    ++prints[page.title];
    const auto it = by_name.find(page.title);
    ASSERT_NE(it, by_name.end()) << "a page nobody sent: " << page.title;
    const fs::path pdf = dir.path() / ("printed-" + std::to_string(page.id) + ".pdf");
    testing::WriteBytes(pdf, page.document);
    const auto check = RunCommand("qpdf --check " + pdf.string());
    EXPECT_EQ(check.status, 0) << page.title << " (job " << page.id << "): " << check.output;
    const auto size = PdfImageSize(pdf);
    EXPECT_EQ(size.first, static_cast<int>(it->second->short_side)) << page.title;
    EXPECT_EQ(size.second, static_cast<int>(kLongSide)) << page.title;
  }
  unsigned lost = 0, duplicates = 0;
  for (const CrashJob& job : jobs) {
    if (prints[job.name] == 0) {
      ++lost;
      ADD_FAILURE() << job.name << " was never printed";
    }
    if (prints[job.name] > 1) duplicates += prints[job.name] - 1;
  }

  // Every output copy decodes and is the upright image of its job; nothing else is there.
  std::vector<std::string> leftovers;
  for (const std::string& file : FilesBelow(out)) {
    const auto it = by_name.find(file);
    if (it == by_name.end()) {
      leftovers.push_back((out / file).string());
      continue;
    }
    const TiffCheck copy = CheckTiff(out / file);
    EXPECT_TRUE(copy.decodes) << file;
    EXPECT_EQ(copy.width, it->second->short_side) << file;
    EXPECT_EQ(copy.height, kLongSide) << file;
  }
  for (const CrashJob& job : jobs) {
    if (prints[job.name] > 0) {
      EXPECT_TRUE(fs::exists(out / job.name)) << "no copy of " << job.name;
    }
  }
  // The transfer tree is empty, hidden temporaries included; the temporary directory holds
  // nothing but faulty-file names (of which there must be none here) and admin copies.
  for (const std::string& file : FilesBelow(root)) leftovers.push_back((root / file).string());
  const std::regex faulty("plotspool_Datenfehler in Datei .* [0-9]{14}\\.txt");
  const std::regex admin_copy("plotspool_[0-9]{14}(_[0-9]+)?\\.txt");
  for (const std::string& file : FilesBelow(temp)) {
    EXPECT_FALSE(std::regex_match(file, faulty)) << "a job judged faulty: " << file;
    if (!std::regex_match(file, admin_copy)) leftovers.push_back((temp / file).string());
  }
  for (const std::string& file : FilesBelow(home)) {
    if (file != "plotspool" && file != "plotspool.ini" && file != "plotspool.log" &&
        file != "plotspool.journal" && file != "plotspool.temporaries" &&
        file != "plotspool.prints") {
      leftovers.push_back((home / file).string());
    }
  }
  for (const std::string& file : leftovers) ADD_FAILURE() << "left behind: " << file;

  std::cout << "crash run: " << kills_done << " kills survived, " << job_count << " jobs, "
            << printed.size() << " pages, " << lost << " lost, " << duplicates << " printed twice, "
            << leftovers.size() << " leftovers, " << rig.ActiveJobs().size()
            << " jobs still open on the print server" << std::endl;
  EXPECT_EQ(lost, 0u);
  // The journal knows what each job already printed, whenever the kill fell.
  EXPECT_EQ(duplicates, 0u);
}

}  // namespace
}  // namespace plotspool
