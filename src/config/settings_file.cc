#include "config/settings_file.h"

#include "platform/ini_file.h"

namespace plotspool {

std::string ReadProfileString(std::string_view section, std::string_view key,
                              const std::string& file) {
  std::string value = platform::ReadIniString(section, key, file);
  // The value is handed on as C text would be: a NUL in the file ends it.
  if (const std::size_t nul = value.find('\0'); nul != std::string::npos) value.resize(nul);
  return value;
}

bool WriteProfileString(std::string_view section, std::string_view key, std::string_view value,
                        const std::string& file) {
  return platform::WriteIniString(section, key, value, file);
}

std::string ReadOrCreateValue(std::string_view section, std::string_view key,
                              std::string_view default_value, const std::string& file) {
  std::string value = ReadProfileString(section, key, file);
  if (!value.empty()) return value;
  // Written also when the default is empty, so that every key shows up in the file for editing.
  // A failed write is tried again at the next read.
  WriteProfileString(section, key, default_value, file);
  return std::string(default_value);
}

}  // namespace plotspool
