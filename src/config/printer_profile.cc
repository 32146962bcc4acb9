#include "config/printer_profile.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "base/convert.h"
#include "base/path_strings.h"
#include "config/app_paths.h"
#include "config/settings_file.h"
#include "platform/files.h"

namespace plotspool {

namespace {

struct Key {
  const char* name;
  const char* default_value;
  std::string PrinterProfileRecord::*field;
};

using R = PrinterProfileRecord;

// In the order the keys are read and so first written into a new section.
constexpr Key kTargetKeys[] = {
    {"sApplication", "", &R::sApplication},
    {"sPrinterName", "", &R::sPrinterName},
    {"sOutputFolder", "", &R::sOutputFolder},
};
constexpr Key kFormatKeys[] = {
    {"sOrientationA4", "", &R::sOrientationA4},
    {"sOrientationA3", "", &R::sOrientationA3},
    {"sOrientationA2", "", &R::sOrientationA2},
    {"sOrientationA1", "", &R::sOrientationA1},
    {"sOrientationA0", "", &R::sOrientationA0},
    {"sOrientationA", "", &R::sOrientationA},
    {"sOrientationB", "", &R::sOrientationB},
    {"sOrientationC", "", &R::sOrientationC},
    {"sOrientationD", "", &R::sOrientationD},
    {"sOrientationE", "", &R::sOrientationE},
    {"sChangeA4", "A4", &R::sChangeA4},
    {"sChangeA3", "A3", &R::sChangeA3},
    {"sChangeA2", "A2", &R::sChangeA2},
    {"sChangeA1", "A1", &R::sChangeA1},
    {"sChangeA0", "A0", &R::sChangeA0},
    {"sChangeA", "A", &R::sChangeA},
    {"sChangeB", "B", &R::sChangeB},
    {"sChangeC", "C", &R::sChangeC},
    {"sChangeD", "D", &R::sChangeD},
    {"sChangeE", "E", &R::sChangeE},
    {"sPN_A4", "162", &R::sPN_A4},
    {"sPN_A3", "163", &R::sPN_A3},
    {"sPN_A2", "150", &R::sPN_A2},
    {"sPN_A1", "151", &R::sPN_A1},
    {"sPN_A0", "166", &R::sPN_A0},
    {"sPN_A", "156", &R::sPN_A},
    {"sPN_B", "157", &R::sPN_B},
    {"sPN_C", "158", &R::sPN_C},
    {"sPN_D", "159", &R::sPN_D},
    {"sPN_E", "160", &R::sPN_E},
};

// False when a value is a default only because the file could not be read (or kept changing).
bool ReadKeys(const auto& keys, const std::string& section, PrinterProfileRecord& record) {
  bool all_read = true;
  for (const Key& key : keys) {
    Setting setting = ReadSetting(section, key.name, key.default_value, IniFile);
    all_read = all_read && (setting.source == SettingSource::kFile ||
                            setting.source == SettingSource::kDefault);
    record.*key.field = std::move(setting.value);
  }
  return all_read;
}

void PeekKeys(const auto& keys, const std::string& section, PrinterProfileRecord& record,
              std::vector<ProfileValue>* values) {
  for (const Key& key : keys) {
    std::string value = ReadIniValue(section, key.name, IniFile);
    const bool from_file = !value.empty();
    if (!from_file) value = key.default_value;
    if (values != nullptr) values->push_back({key.name, value, from_file});
    record.*key.field = std::move(value);
  }
}

}  // namespace

PrinterProfileRecord PeekPrinterProfile(const std::string& section,
                                        std::vector<ProfileValue>* values) {
  PrinterProfileRecord record;
  PeekKeys(kTargetKeys, section, record, values);
  if (!record.sOutputFolder.empty() && !IsPathSeparator(record.sOutputFolder.back())) {
    record.sOutputFolder += '/';
  }
  PeekKeys(kFormatKeys, section, record, values);
  return record;
}

bool IsPrinterProfileKey(const std::string& key) {
  const std::string upper = UpperCase(key);
  const auto same = [&](const Key& known) { return UpperCase(known.name) == upper; };
  return std::any_of(std::begin(kTargetKeys), std::end(kTargetKeys), same) ||
         std::any_of(std::begin(kFormatKeys), std::end(kFormatKeys), same);
}

std::optional<PrinterProfileRecord> ReadPrinterProfile(const std::string& section) {
  PrinterProfileRecord record;
  bool all_read = ReadKeys(kTargetKeys, section, record);
  std::string& folder = record.sOutputFolder;
  if (!folder.empty() && !IsPathSeparator(folder.back())) folder += '/';
  if (!folder.empty()) platform::MakeSureDirectoryPathExists(folder);
  all_read = ReadKeys(kFormatKeys, section, record) && all_read;
  if (!all_read) return std::nullopt;
  return record;
}

}  // namespace plotspool
