// Access to the settings file: one read, one write and the read-with-default pattern through
// which every reader completes the file with its defaults.
#ifndef PLOTSPOOL_CONFIG_SETTINGS_FILE_H_
#define PLOTSPOOL_CONFIG_SETTINGS_FILE_H_

#include <string>
#include <string_view>

namespace plotspool {

// The value of `key` in `section` of `file`, cut to its first 254 bytes. Empty when the file,
// the section or the key is absent, when the value is empty, or when the file cannot be read.
std::string ReadIniValue(std::string_view section, std::string_view key, const std::string& file);

// Sets `key` = `value` in `section` of `file`, creating the file, the section or the key as
// needed and leaving every other byte of the file as it was. The write is atomic. Returns false
// when it failed (the file is then unchanged); the service's callers ignore the result.
bool WriteIniValue(std::string_view section, std::string_view key, std::string_view value,
                   const std::string& file);

// Where the value of a read-with-default came from.
enum class SettingSource {
  kFile,        // the file holds it
  kDefault,     // empty in a settled file: the default, written back (unless the write failed)
  kUnsettled,   // empty while the file kept changing (an editor saving in place, say): the
                // default, not written, so a file caught half-saved is never replaced
  kUnreadable,  // the file cannot be read (too large, no permission, not a regular file, an
                // I/O error): the default, not written
};

struct Setting {
  std::string value;
  SettingSource source = SettingSource::kFile;
};

// Read-with-default: the value when it is not empty. An empty one is looked at again after a
// short pause until two reads see the same version of the file; only then is `default_value`
// written back (also when it is empty, so the key appears in the file). Only this rare path
// pauses: up to a few tenths of a second, cut short (kUnsettled) by a close request.
Setting ReadSetting(std::string_view section, std::string_view key, std::string_view default_value,
                    const std::string& file);

// ReadSetting's value alone, for readers that use the default whatever the file's state.
std::string ReadOrCreateValue(std::string_view section, std::string_view key,
                              std::string_view default_value, const std::string& file);

}  // namespace plotspool

#endif  // PLOTSPOOL_CONFIG_SETTINGS_FILE_H_
