#include "jobs/paper_numbers.h"

#include "base/error.h"
#include "config/app_paths.h"
#include "config/settings_file.h"

namespace plotspool {
namespace {

constexpr const char* kSection = "PaperNumbers";

struct DefaultPaper {
  const char* number;
  const char* media_name;
};

// The paper numbers of the default printer profile, in its order.
constexpr DefaultPaper kDefaultPapers[] = {
    {"162", "iso_a4_210x297mm"},  {"163", "iso_a3_297x420mm"},  {"150", "iso_a2_420x594mm"},
    {"151", "iso_a1_594x841mm"},  {"166", "iso_a0_841x1189mm"}, {"156", "na_letter_8.5x11in"},
    {"157", "na_ledger_11x17in"}, {"158", "na_c_17x22in"},      {"159", "na_d_22x34in"},
    {"160", "na_e_34x44in"},
};

}  // namespace

std::string PeekMediaNameForPaperNumber(int16_t paper_number) {
  const std::string number = std::to_string(paper_number);
  std::string media_name = ReadIniValue(kSection, number, IniFile);
  if (!media_name.empty()) return media_name;
  for (const DefaultPaper& paper : kDefaultPapers) {
    if (number == paper.number) return paper.media_name;
  }
  return {};
}

bool IsDefaultPaperNumber(int16_t paper_number) {
  const std::string number = std::to_string(paper_number);
  for (const DefaultPaper& paper : kDefaultPapers) {
    if (number == paper.number) return true;
  }
  return false;
}

std::string MediaNameForPaperNumber(int16_t paper_number) {
  for (const DefaultPaper& paper : kDefaultPapers) {
    ReadOrCreateValue(kSection, paper.number, paper.media_name, IniFile);
  }
  std::string media_name = ReadIniValue(kSection, std::to_string(paper_number), IniFile);
  if (media_name.empty()) throw RuntimeError(kInvalidPropertyValue);
  return media_name;
}

}  // namespace plotspool
