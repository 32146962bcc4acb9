// Runs the table of tests/ini_profile_cases.h through GetPrivateProfileStringA on real files and
// prints, per query, what it returned as a C++ literal. Exits 1 when an answer differs from the
// table, so the table stays the Windows functions' own behaviour.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "ini_profile_cases.h"

namespace {

using plotspool::testing::IniProfileFile;
using plotspool::testing::IniProfileQuery;
using plotspool::testing::kIniAbsent;

// A C++ string literal of `text`, runs of one byte shortened to std::string(n, 'c').
std::string Literal(const std::string& text) {
  if (text.size() > 40 && text.find_first_not_of(text[0]) == std::string::npos) {
    return "std::string(" + std::to_string(text.size()) + ", '" + text[0] + "')";
  }
  std::string literal = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      literal += '\\';
      literal += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      literal += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X\"\"", c);
      literal += escaped;
    }
  }
  return literal + "\"";
}

// What a read with the service's 255-byte buffer returns.
std::string ReadProfile(const IniProfileQuery& query, const std::string& file) {
  char buffer[255];
  const DWORD length =
      GetPrivateProfileStringA(query.section.c_str(), query.key.c_str(), kIniAbsent.c_str(), buffer,
                               sizeof buffer, file.c_str());
  return std::string(buffer, length);
}

}  // namespace

int main() {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("plotspool-profile-" + std::to_string(GetCurrentProcessId()));
  std::filesystem::create_directories(folder);
  int differences = 0;
  for (const IniProfileFile& file : plotspool::testing::IniProfileFiles()) {
    const std::filesystem::path path = folder / (file.name + ".ini");
    std::ofstream(path, std::ios::binary) << file.text;
    for (const IniProfileQuery& query : file.queries) {
      const std::string got = ReadProfile(query, path.string());
      const bool same = got == query.expected;
      differences += same ? 0 : 1;
      std::printf("%s %s: {%s, %s, %s}\n", same ? "same" : "DIFF", file.name.c_str(),
                  Literal(query.section).c_str(), Literal(query.key).c_str(), Literal(got).c_str());
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  std::printf("%d of the answers differ from the table\n", differences);
  return differences == 0 ? 0 : 1;
}
