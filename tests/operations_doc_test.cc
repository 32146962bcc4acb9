// The operator's documentation against the service: the settings tables in docs/operations.md
// must list exactly the keys, order and defaults the service writes, and every log text the
// code writes must be explained there.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "config/app_paths.h"
#include "jobs/paper_numbers.h"
#include "test_support.h"

namespace plotspool {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::ReadWholeFile;
using testing::WaitFor;
using testing::WriteWholeFile;
using Entries = std::vector<std::pair<std::string, std::string>>;

std::string Trim(std::string text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// Key and default columns of the first table after the heading `heading`: "`value`" is the
// value, "(empty)" the empty text.
Entries DocTable(const std::string& heading) {
  const std::vector<std::string> lines =
      Lines(ReadWholeFile(PLOTSPOOL_SOURCE_DIR "/docs/operations.md"));
  std::size_t i = 0;
  while (i < lines.size() && lines[i] != heading) ++i;
  while (i < lines.size() && lines[i].rfind("|", 0) != 0) ++i;
  Entries entries;
  for (i += 2; i < lines.size() && lines[i].rfind("|", 0) == 0; ++i) {
    std::vector<std::string> cells;
    std::size_t start = 1;
    for (std::size_t bar; (bar = lines[i].find('|', start)) != std::string::npos; start = bar + 1) {
      cells.push_back(Trim(lines[i].substr(start, bar - start)));
    }
    if (cells.size() < 2) continue;
    auto unquote = [](const std::string& cell) {
      if (cell == "(empty)") return std::string();
      if (cell.size() >= 2 && cell.front() == '`' && cell.back() == '`') {
        return cell.substr(1, cell.size() - 2);
      }
      return "unquoted: " + cell;
    };
    entries.emplace_back(unquote(cells[0]), unquote(cells[1]));
  }
  return entries;
}

// The keys and values of section `section` in the settings file, in file order.
Entries IniSection(const fs::path& ini, const std::string& section) {
  Entries entries;
  bool inside = false;
  for (const std::string& raw : Lines(ReadWholeFile(ini))) {
    const std::string line = Trim(raw);
    if (line.rfind("[", 0) == 0) {
      inside = line == "[" + section + "]";
    } else if (inside && line.find('=') != std::string::npos) {
      const std::size_t equals = line.find('=');
      entries.emplace_back(Trim(line.substr(0, equals)), Trim(line.substr(equals + 1)));
    }
  }
  return entries;
}

TEST(OperationsDocTest, GlobalAndPrinterTablesMatchWhatTheServiceWrites) {
  testing::TempDir dir;
  testing::ServiceUnderTest service(dir.path());
  ASSERT_GT(service.Start(), 0);
  Entries global_table = DocTable("### [Global]");
  ASSERT_EQ(global_table.size(), 8u);
#ifdef _WIN32
  // The table shows the Linux default; the text beside it the Windows one.
  ASSERT_EQ(global_table[2].first, "UebergabePfad");
  global_table[2].second = (fs::temp_directory_path() / "plotspool").string() + "\\";
#endif
  ASSERT_TRUE(WaitFor(
      [&] { return IniSection(service.ini(), "Global").size() == global_table.size(); }, 5s));
  EXPECT_EQ(IniSection(service.ini(), "Global"), global_table);

  // A transfer root of the test's own, and no waiting: the profile is read before the file is
  // classified, so any file creates the section.
  const fs::path root = dir.path() / "root";
  WriteWholeFile(service.ini(),
                 "[Global]\nWartezeit=0\nAdminLog=0\nUebergabePfad=" + root.string() +
                     "/\nProgrammEnde=0\nMetricsFile=\nBildspeicherMB=0\nBandspeicherMB="
                     "16\nVollstaendigeSuche=0\n");
  ASSERT_TRUE(WaitFor([&] { return fs::is_directory(root); }, 5s));
  fs::create_directories(root / "NewPrinter");
  WriteWholeFile(root / "NewPrinter" / "first.txt", "not a plot");
  const Entries printer_table = DocTable("### Printer sections");
  ASSERT_EQ(printer_table.size(), 33u);
  EXPECT_TRUE(WaitFor(
      [&] { return IniSection(service.ini(), "NewPrinter").size() == printer_table.size(); }, 10s));
  EXPECT_EQ(IniSection(service.ini(), "NewPrinter"), printer_table);

  service.RequestStop();
  EXPECT_EQ(service.WaitForExit(3s), 0);
}

TEST(OperationsDocTest, PaperNumbersTableMatchesWhatTheServiceWrites) {
  testing::TempDir dir;
  const std::string saved = IniFile;
  IniFile = (dir.path() / "plotspool.ini").string();
  EXPECT_EQ(MediaNameForPaperNumber(151), "iso_a1_594x841mm");
  const Entries written = IniSection(IniFile, "PaperNumbers");
  IniFile = saved;
  const Entries table = DocTable("### [PaperNumbers]");
  ASSERT_EQ(table.size(), 10u);
  EXPECT_EQ(written, table);
}

// A new log line in the code needs its explanation for the operators.
TEST(OperationsDocTest, EveryLogTextTheCodeWritesIsExplained) {
  const std::string doc = ReadWholeFile(PLOTSPOOL_SOURCE_DIR "/docs/operations.md");
  const std::regex call(R"re(WriteLog\("(\w+)",\s*"((?:[^"\\]|\\.)*)")re");
  int found = 0;
  for (const auto& entry : fs::recursive_directory_iterator(PLOTSPOOL_SOURCE_DIR "/src")) {
    if (entry.path().extension() != ".cc") continue;
    const std::string source = ReadWholeFile(entry.path());
    for (std::sregex_iterator it(source.begin(), source.end(), call), end; it != end; ++it) {
      ++found;
      const std::string kind = (*it)[1];
      const std::string text = (*it)[2];
      EXPECT_NE(doc.find("| " + kind + " | `" + text), std::string::npos)
          << entry.path() << ": " << kind << " \"" << text << "\" is not in the log table";
    }
  }
  EXPECT_GE(found, 8) << "the pattern no longer finds the log calls";
}

}  // namespace
}  // namespace plotspool
