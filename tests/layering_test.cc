// The folders of src/ depend one way, and only the platform folder talks to the operating system:
// every include of every source file is checked against the allowed folder edges below.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace plotspool {
namespace {

namespace fs = std::filesystem;

// The only folders whose files may include system, print-server, ZIP or compression headers:
// one back end per operating system (and, for its one library, each of kSharedLibraryFolders).
constexpr std::array<const char*, 2> kSystemHeaderFolders = {"src/platform/posix/",
                                                             "src/platform/win32/"};

// Which folder may include which, read downwards; what a folder may include is everything it
// reaches through these edges. config, imaging and log sit side by side and stay apart, except
// that the log writes to a file named after the executable, which config/app_paths derives.
const std::multimap<std::string, std::string> kAllowedEdges = {
    {"service", "intake"}, {"intake", "jobs"},   {"jobs", "config"},   {"jobs", "imaging"},
    {"jobs", "log"},       {"log", "config"},    {"config", "util"},   {"imaging", "util"},
    {"log", "util"},       {"util", "platform"}, {"platform", "base"},
};

// Library headers that are portable, and compiler intrinsics that every compiler for their
// target has, and so allowed outside the platform folder.
const std::set<std::pair<std::string, std::string>> kPortableLibraryHeaders = {
    {"imaging", "tiffio.h"},
    {"imaging", "emmintrin.h"},
};

// Folders of src/platform/ that both back ends build, each allowed the one library header it
// wraps and nothing else of the system.
const std::set<std::pair<std::string, std::string>> kSharedLibraryFolders = {
    {"src/platform/libzip/", "zip.h"},
};

std::set<std::string> Reachable(const std::string& folder) {
  std::set<std::string> reached{folder};
  std::vector<std::string> pending{folder};
  while (!pending.empty()) {
    const std::string from = pending.back();
    pending.pop_back();
    const auto [begin, end] = kAllowedEdges.equal_range(from);
    for (auto edge = begin; edge != end; ++edge) {
      if (reached.insert(edge->second).second) pending.push_back(edge->second);
    }
  }
  return reached;
}

// Why the include of `target` (angled or quoted) in the file `file` (relative to the source
// tree) is not allowed; empty when it is.
std::string IncludeProblem(const std::string& file, bool angled, const std::string& target) {
  const std::string folder = file.substr(4, file.find('/', 4) - 4);  // "src/<folder>/..."
  if (angled) {
    // Standard C++ headers carry neither an extension nor a directory.
    if (target.find_first_of("./") == std::string::npos) return {};
    for (const char* system_folder : kSystemHeaderFolders) {
      if (file.starts_with(system_folder)) return {};
    }
    if (kPortableLibraryHeaders.contains({folder, target})) return {};
    for (const auto& [shared_folder, header] : kSharedLibraryFolders) {
      if (file.starts_with(shared_folder) && target == header) return {};
    }
    return "a system or library header outside the back ends of src/platform/";
  }
  const std::string to = target.substr(0, target.find('/'));
  if (to == target) return "an include without its folder";
  if (!Reachable(folder).contains(to)) return "an edge " + folder + " -> " + to;
  return {};
}

TEST(LayeringTest, EveryIncludeFollowsTheAllowedFolderEdges) {
  // The rule itself, so that a tree found clean is clean and not unread.
  const struct {
    std::string file;
    bool angled;
    const char* target;
    bool allowed;
  } rules[] = {
      {"src/service/service.cc", false, "base/error.h", true},
      {"src/jobs/job_output.cc", false, "log/service_log.h", true},
      {"src/log/service_log.cc", false, "config/app_paths.h", true},
      {"src/config/printer_profile.cc", false, "log/service_log.h", false},
      {"src/config/paper_format.cc", false, "imaging/host_form.h", false},
      {"src/jobs/open_prints.cc", false, "service/service.h", false},
      {"src/platform/files.h", false, "util/message_loop.h", false},
      {"src/base/convert.cc", false, "platform/files.h", false},
      {"src/jobs/open_prints.cc", false, "open_prints.h", false},
      {"src/jobs/extract_zip.cc", true, "zip.h", false},
      {"src/util/system_utils.cc", true, "sys/wait.h", false},
      {"src/jobs/job_output.cc", true, "cups/cups.h", false},
      {"src/log/metrics.cc", true, "zlib.h", false},
      {"src/imaging/tiff_file.h", true, "tiffio.h", true},
      {"src/jobs/job_output.cc", true, "tiffio.h", false},
      {"src/platform/posix/printer.cc", true, "cups/cups.h", true},
      {"src/platform/win32/printer.cc", true, "windows.h", true},
      {"src/platform/printer.h", true, "windows.h", false},
      {"src/platform/libzip/zip_archive_common.cc", true, "zip.h", true},
      {"src/platform/libzip/zip_archive_common.cc", true, "windows.h", false},
      {"src/platform/libzip/zip_archive_common.cc", true, "zlib.h", false},
      {"src/platform/zip_archive.h", true, "zip.h", false},
      {"src/intake/take_over.cc", true, "string_view", true},
  };
  for (const auto& rule : rules) {
    EXPECT_EQ(IncludeProblem(rule.file, rule.angled, rule.target).empty(), rule.allowed)
        << rule.file << " includes " << rule.target;
  }

  const fs::path source_dir(PLOTSPOOL_SOURCE_DIR);
  const std::regex include_line(R"(^\s*#\s*include\s*([<"])([^>"]+)[>"])");
  int includes_seen = 0;
  for (const auto& entry : fs::recursive_directory_iterator(source_dir / "src")) {
    const std::string extension = entry.path().extension().string();
    if (!entry.is_regular_file() || (extension != ".h" && extension != ".cc")) continue;
    const std::string file = entry.path().lexically_relative(source_dir).generic_string();
    std::istringstream text(testing::ReadWholeFile(entry.path()));
    int number = 0;
    for (std::string line; std::getline(text, line);) {
      ++number;
      std::smatch match;
      if (!std::regex_search(line, match, include_line)) continue;
      ++includes_seen;
      const std::string problem = IncludeProblem(file, match[1] == "<", match[2]);
      EXPECT_EQ(problem, "") << file << ":" << number << ": " << line;
    }
  }
  EXPECT_GT(includes_seen, 500);
}

}  // namespace
}  // namespace plotspool
