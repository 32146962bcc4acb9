#include "config/settings_file.h"

#include <chrono>
#include <utility>

#include "platform/close_request.h"
#include "platform/ini_file.h"

namespace plotspool {

namespace {

// An empty value is looked at again after this pause, a few times at most, until two reads
// see the same version of the file.
constexpr std::chrono::milliseconds kSettlePause(75);
constexpr int kMaxSettleLooks = 4;

// The last version of a settings file known to be complete: seen unchanged across a pause, or
// just written by us. A read that finds it again needs no pause, so a new section's 33 keys
// cost one pause, not 33.
std::string settled_file;
platform::IniFileStamp settled_stamp;

bool IsSettled(const std::string& file, const platform::IniFileStamp& stamp) {
  return file == settled_file && stamp == settled_stamp;
}

// The value is handed on as C text would be: a NUL in the file ends it.
std::string ValueOf(const platform::IniLookup& lookup) {
  std::string value = lookup.value.value_or(std::string());
  if (const std::size_t nul = value.find('\0'); nul != std::string::npos) value.resize(nul);
  return value;
}

}  // namespace

std::string ReadIniValue(std::string_view section, std::string_view key, const std::string& file) {
  return ValueOf(platform::LookUpIniValue(section, key, file));
}

bool WriteIniValue(std::string_view section, std::string_view key, std::string_view value,
                   const std::string& file) {
  return platform::WriteIniString(section, key, value, file);
}

Setting ReadSetting(std::string_view section, std::string_view key, std::string_view default_value,
                    const std::string& file) {
  platform::IniLookup lookup = platform::LookUpIniValue(section, key, file);
  for (int look = 0;; ++look) {
    if (lookup.state == platform::IniFileState::kUnreadable) {
      return {std::string(default_value), SettingSource::kUnreadable};
    }
    if (std::string value = ValueOf(lookup); !value.empty()) {
      return {std::move(value), SettingSource::kFile};
    }
    if (IsSettled(file, lookup.stamp)) break;
    // Editors that save in place truncate the file first: what reads empty now may be complete
    // a moment later, and a default written now would replace everything they write.
    if (look == kMaxSettleLooks || platform::WaitForCloseRequest(kSettlePause)) {
      return {std::string(default_value), SettingSource::kUnsettled};
    }
    platform::IniLookup again = platform::LookUpIniValue(section, key, file);
    if (again.state == lookup.state && again.stamp == lookup.stamp) {
      settled_file = file;
      settled_stamp = again.stamp;
    }
    lookup = std::move(again);
  }
  // Written also when the default is empty, so that every key shows up in the file for editing.
  // A failed write is tried again at the next read.
  platform::IniFileStamp written;
  if (platform::WriteIniString(section, key, default_value, file, &written)) {
    settled_file = file;
    settled_stamp = written;
  }
  return {std::string(default_value), SettingSource::kDefault};
}

std::string ReadOrCreateValue(std::string_view section, std::string_view key,
                              std::string_view default_value, const std::string& file) {
  return ReadSetting(section, key, default_value, file).value;
}

}  // namespace plotspool
