#include "intake/take_over.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <thread>

#include "config/app_paths.h"
#include "config/service_settings.h"
#include "intake/scan_directory.h"
#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;
using testing::ReadWholeFile;
using testing::WriteWholeFile;

class IntakeTest : public testing::InProcessServiceTest {
 protected:
  std::vector<std::string> TempEntries() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(temp_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
};

TEST_F(IntakeTest, CompleteFileIsHandedOnLoggedAndKept) {
  ServiceSettings.Wartezeit = "1";
  ServiceSettings.AdminLog = "1";
  const fs::path job = printer_ / "plan.tif";
  WriteWholeFile(job, std::string(1000, 'x'));
  TakeOverFile(job.generic_string());

  EXPECT_FALSE(fs::exists(job));
  const std::string p = job.generic_string();
  const std::regex lines("[^\t]+\tInfo\tStart uebertragen der Datei:" + p +
                         " Bytes:1000\r\n"
                         "[^\t]+\tInfo\tPruefen der Dateigroesse:" +
                         p +
                         " Bytes:1000 -> 1000\r\n"
                         "[^\t]+\tInfo\tStart einlesen der Datei:" +
                         p +
                         " Bytes:1000\r\n"
                         "[^\t]+\terror\tFehlerhafte Datei verschoben nach  '[^']+' wegen Fehler "
                         "'Type mismatch \\(neither TIFF nor ZIP\\)' '13'\r\n");
  EXPECT_TRUE(std::regex_match(Log(), lines)) << Log();
  // The admin copy (base name, time stamp, ".txt") and the file itself, kept as not a plot.
  auto names = TempEntries();
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex("plotspool_[0-9]{14}\\.txt")));
  EXPECT_EQ(ReadWholeFile(temp_ / names[0]), std::string(1000, 'x'));
  EXPECT_EQ(ReadWholeFile(temp_ / names[1]), std::string(1000, 'x'));

  // Copies made within the same second keep a name each.
  ServiceSettings.Wartezeit = "0";
  for (const char* content : {"one", "two", "three"}) {
    WriteWholeFile(job, content);
    TakeOverFile(job.generic_string());
  }
  int copies = 0;
  for (const auto& name : TempEntries()) {
    copies += std::regex_match(name, std::regex("plotspool_[0-9]{14}(_[0-9]+)?\\.txt"));
  }
  EXPECT_EQ(copies, 4);
}

// Whatever the job procedure refuses leaves the transfer tree for the temporary directory, bytes
// unchanged, under a name that always fits and never replaces another, with the reason.
TEST_F(IntakeTest, RefusedFilesAreMovedAsideWithTheirReason) {
  // Too long for a faulty-file name; the cut falls inside the "ä" and moves before it.
  const std::string long_name = std::string(204, 'n') + "\xc3\xa4" + std::string(40, 'm') + ".tif";
  struct Case {
    std::string name;
    std::string content;
    std::string reason;
  } cases[] = {
      {"text.tif", "just some text", "'Type mismatch (neither TIFF nor ZIP)' '13'"},
      {"two.tif", "II", "'Input past end of file' '62'"},
#ifndef _WIN32  // there a backslash separates
      {"a\\b.tif", "back\\slash", "'Type mismatch (neither TIFF nor ZIP)' '13'"},
#endif
#ifndef _WIN32  // there the faulty file's path would pass the 260 characters of a Windows path
      {long_name, "long", "'Type mismatch (neither TIFF nor ZIP)' '13'"},
#endif
      {"broken.zip", "PK\x03\x04 not really an archive", ""},
      // Sent again within the same second: the first one moved aside is not replaced.
      {"again.tif", "again, one", "'Type mismatch (neither TIFF nor ZIP)' '13'"},
      {"again.tif", "again, two", "'Type mismatch (neither TIFF nor ZIP)' '13'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path job = printer_ / c.name;
    WriteWholeFile(job, c.content);
    TakeOverFile(job.generic_string());
    EXPECT_FALSE(fs::exists(job));
    if (!c.reason.empty()) {
      EXPECT_NE(Log().find(c.reason + "\r\n"), std::string::npos) << Log();
    }
  }
  // The section is the directory's, whatever the name holds.
  EXPECT_EQ(ReadWholeFile(IniFile).find("[a\\"), std::string::npos);
  std::multiset<std::string> kept;
  for (const auto& name : TempEntries()) {
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(name.rfind("plotspool_Datenfehler in Datei ", 0), 0u) << name;
    kept.insert(ReadWholeFile(temp_ / name));
  }
  EXPECT_EQ(kept.size(), std::size(cases));
  for (const Case& c : cases) EXPECT_EQ(kept.count(c.content), 1u) << c.name;

  // An output folder in the transfer tree would have its copies taken for jobs and deleted.
  Section("sOutputFolder=" + (printer_ / "copies").generic_string() + "\n");
  testing::MakePlot(printer_ / "plan.tif");
  std::string root = root_.generic_string();
  ScanDirectory(root, "*", true);
  EXPECT_FALSE(fs::exists(printer_ / "plan.tif"));
  EXPECT_FALSE(fs::exists(printer_ / "copies" / "plan.tif"));
  EXPECT_TRUE(Logged("overlaps the transfer tree")) << Log();
  EXPECT_EQ(TempEntries().size(), std::size(cases) + 1);
}

TEST_F(IntakeTest, FileThatStaysEmptyIsMovedAsideAsFaulty) {
  const fs::path job = printer_ / "empty.tif";
  WriteWholeFile(job, "");
  TakeOverFile(job.generic_string());

  EXPECT_FALSE(fs::exists(job));
  const auto names = TempEntries();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      names[0], std::regex("plotspool_Datenfehler in Datei empty\\.tif [0-9]{14}\\.txt")));
  const std::string expected = "\terror\tFehlerhafte Datei verschoben nach  '" +
                               (temp_ / names[0]).string() + "' wegen Fehler '' '0'\r\n";
  EXPECT_NE(Log().find(expected), std::string::npos) << Log();
}

TEST_F(IntakeTest, UnknownTemporaryDirectoryKeepsTheFileWhereItIs) {
  // Longer than the temporary directory may be: no directory is known.
  const fs::path long_temp = dir_.path() / std::string(150, 't');
  fs::create_directories(long_temp);
  testing::SetEnvironmentValue(testing::kTempDirVariable, long_temp.string());
  fs::current_path(dir_.path());
  const fs::path job = printer_ / "empty.tif";
  WriteWholeFile(job, "");
  TakeOverFile(job.generic_string());
  EXPECT_TRUE(fs::exists(job));
  EXPECT_NE(Log().find("'Path not found' '76' " + job.generic_string()), std::string::npos)
      << Log();
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    EXPECT_EQ(entry.path().filename().string().find("plotspool_"), std::string::npos);
  }
}

TEST_F(IntakeTest, GrowingFileStaysWithoutAnErrorLine) {
  ServiceSettings.Wartezeit = "1";
  const fs::path job = printer_ / "growing.tif";
  WriteWholeFile(job, "x");
  bool stop = false;
  std::thread writer([&] {
    std::FILE* f = std::fopen(job.generic_string().c_str(), "ab");
    while (!stop) {
      std::fputc('y', f);
      std::fflush(f);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::fclose(f);
  });
  TakeOverFile(job.generic_string());  // 15 cycles of one second
  stop = true;
  writer.join();
  EXPECT_TRUE(fs::exists(job));
  EXPECT_EQ(Log().find("error"), std::string::npos) << Log();
}

TEST_F(IntakeTest, FileVanishingInCycleTwelveIsCountedAsThirteenAttempts) {
  ServiceSettings.Wartezeit = "1";
  const fs::path job = printer_ / "gone.tif";
  WriteWholeFile(job, "x");
  bool stop = false;
  std::thread writer([&] {
    // Growing keeps the size check going; then the file goes in the twelfth cycle.
    for (int i = 0; i < 230 && !stop; ++i) {
      std::FILE* f = std::fopen(job.generic_string().c_str(), "ab");
      if (f) {
        std::fputc('y', f);
        std::fclose(f);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    fs::remove(job);
  });
  TakeOverFile(job.generic_string());
  stop = true;
  writer.join();
  const std::string log = Log();
  EXPECT_NE(log.find("\terror\tEs ist ein Fehler aufgetreten 'File not found' '53' " +
                     job.generic_string() + "\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\terror\tDie Datei " + job.generic_string() +
                     " konnte auch nach 13 Versuchen nicht geöffnet werden. Fehler: File not "
                     "found\r\n"),
            std::string::npos)
      << log;
}

TEST_F(IntakeTest, WalkGoesDepthFirstSubDirectoriesBeforeFiles) {
  ServiceSettings.AdminLog = "1";
  fs::create_directories(printer_ / "sub");
  WriteWholeFile(printer_ / "a.tif", "a");
  WriteWholeFile(printer_ / "sub" / "b.tif", "b");
  WriteWholeFile(root_ / "c.tif", "c");
  std::string root = root_.generic_string();  // without the trailing separator
  ScanDirectory(root, "*", true);
  EXPECT_EQ(root, root_.generic_string() + "/");

  const std::string log = Log();
  const size_t b =
      log.find("Start uebertragen der Datei:" + (printer_ / "sub" / "b.tif").generic_string());
  const size_t a = log.find("Start uebertragen der Datei:" + (printer_ / "a.tif").generic_string());
  const size_t c = log.find("Start uebertragen der Datei:" + (root_ / "c.tif").generic_string());
  ASSERT_NE(b, std::string::npos);
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(c, std::string::npos);
  EXPECT_LT(b, a);
  EXPECT_LT(a, c);

  // Far below the root nothing is walked; that is said once, not at every round.
  fs::path deep = root_;
  for (int level = 0; level < 70; ++level) deep /= "d";
  fs::create_directories(deep);
  WriteWholeFile(deep / "deep.tif", "deep");
  ScanDirectory(root, "*", true);
  ScanDirectory(root, "*", true);
  EXPECT_TRUE(fs::exists(deep / "deep.tif"));
  const std::string too_deep = "Verzeichnis tiefer als 64 Ebenen wird nicht durchsucht: ";
  const size_t first = Log().find(too_deep);
  ASSERT_NE(first, std::string::npos) << Log();
  EXPECT_EQ(Log().find(too_deep, first + 1), std::string::npos);
}

// A directory known to hold sub-directories alone is not listed again while it stays as it
// was; whatever way something new gets into the tree, the next walk still finds it.
TEST_F(IntakeTest, WalkListsOnlyChangedDirectoriesAndMissesNothing) {
  using namespace std::chrono_literals;
  SetDirectorySettleTime(0ns);  // the times here are exact: only the clock's tick must pass
  ServiceSettings.VollstaendigeSuche = "0";
  std::string root = root_.generic_string();
  auto walk = [&] { return testing::WalkAfterClockTick(root); };
  fs::create_directories(printer_ / "a");
  fs::create_directories(printer_ / "b" / "c");
  const fs::path spare = dir_.path() / "spare";
  fs::create_directories(spare);
  WriteWholeFile(spare / "z.tif", "z");
  EXPECT_EQ(walk(), 5);  // the root, P1, a, b and c
  EXPECT_EQ(walk(), 0);

  struct Case {
    const char* what;
    std::function<fs::path()> change;  // returns the file the next walk must take
  } cases[] = {
      {"a file dropped into an empty directory",
       [&] {
         WriteWholeFile(printer_ / "a" / "x.tif", "x");
         return printer_ / "a" / "x.tif";
       }},
      {"a new sub-directory",
       [&] {
         fs::create_directories(printer_ / "b" / "new");
         WriteWholeFile(printer_ / "b" / "new" / "y.tif", "y");
         return printer_ / "b" / "new" / "y.tif";
       }},
      {"a directory replaced by another",
       [&] {
#ifdef _WIN32  // a rename never replaces a directory there
         fs::remove(printer_ / "b" / "c");
#endif
         fs::rename(spare, printer_ / "b" / "c");
         return printer_ / "b" / "c" / "z.tif";
       }},
      {"a stale temporary of ours",
       [&] {
         WriteWholeFile(printer_ / "a" / ".plotspool-0000abcd", "cut short");
         return printer_ / "a" / ".plotspool-0000abcd";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path file = c.change();
    EXPECT_GT(walk(), 0);
    EXPECT_FALSE(fs::exists(file));
    walk();  // lists again what the take-over changed
    EXPECT_EQ(walk(), 0);
  }

  // Where a file system may not stamp every change, every directory is listed every time.
  ServiceSettings.VollstaendigeSuche = "1";
  EXPECT_EQ(walk(), 6);
  EXPECT_EQ(walk(), 6);
  SetDirectorySettleTime(kDirectorySettleTime);
}

TEST_F(IntakeTest, MissingRootAndSetStopFlagHandNothingOn) {
  std::string missing = (dir_.path() / "nowhere").generic_string();
  ScanDirectory(missing, "*", true);
  WriteWholeFile(printer_ / "a.tif", "a");
  bStopScan = true;
  std::string root = root_.generic_string();
  ScanDirectory(root, "*", true);
  EXPECT_TRUE(fs::exists(printer_ / "a.tif"));
  EXPECT_FALSE(fs::exists(LogFile));
}

TEST_F(IntakeTest, NamesAreDataNeverShellText) {
  const std::string name = "$(touch pwned) `touch pwned2`; -x \"q\"\n\xff.tif";
  WriteWholeFile(printer_ / name, "not a plot");
  std::string root = root_.generic_string();
  fs::current_path(dir_.path());
  ScanDirectory(root, "*", true);
  EXPECT_FALSE(fs::exists(printer_ / name));
  EXPECT_FALSE(fs::exists(dir_.path() / "pwned"));
  EXPECT_FALSE(fs::exists(dir_.path() / "pwned2"));
}

}  // namespace
}  // namespace plotspool
