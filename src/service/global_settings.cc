#include "service/global_settings.h"

#include <utility>

#include "base/path_strings.h"
#include "config/app_paths.h"
#include "config/settings_file.h"
#include "log/service_log.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "util/path_helpers.h"
#include "util/system_utils.h"

namespace plotspool {

namespace {

constexpr const char* kSection = "Global";

// Whether the current episode of an unreadable settings file has been reported.
bool unreadable_reported = false;
// The refused transfer root last reported; empty while the root is accepted.
std::string refused_root_reported;

// Refreshes one value. A value the file yields, or its default written back, replaces the one
// held; a file that keeps changing, or cannot be read, leaves it as the last good read left it.
// False when the file could not be read.
bool Refresh(std::string& value, const char* key, const std::string& default_value) {
  Setting setting = ReadSetting(kSection, key, default_value, IniFile);
  switch (setting.source) {
    case SettingSource::kFile:
    case SettingSource::kDefault:
      value = std::move(setting.value);
      return true;
    case SettingSource::kUnsettled:
      return true;
    case SettingSource::kUnreadable:
      return false;
  }
  return false;
}

}  // namespace

// Everything in the tree is taken as a job and deleted: the program and its settings, or the
// faulty files moved aside into the temporary directory (taken back as jobs again and again),
// must not be in it.
std::string FolderInsideTransferRoot(const std::string& root) {
  if (const std::string resolved = platform::ResolvedPath(root); IsFileSystemRoot(resolved)) {
    return resolved;
  }
  if (FolderContains(root, AppPath)) return AppPath;
  // A root below the temporary directory is harmless (nothing is put into its sub-folders) and
  // is the default: /tmp/plotspool/ with /tmp/.
  const std::string temp_dir = GetTempDir();
  if (FolderContains(root, temp_dir)) return temp_dir;
  return {};
}

namespace {

// Creates the transfer root unless it is refused; true when it may be walked.
bool AcceptTransferRoot(const std::string& root) {
  if (root.empty()) return false;  // nothing good read yet
  const std::string swallowed = FolderInsideTransferRoot(root);
  if (swallowed.empty()) {
    refused_root_reported.clear();
    // On every call, not only after a default was written: the root may have been removed.
    platform::MakeSureDirectoryPathExists(root);
    return true;
  }
  if (root != refused_root_reported) {
    WriteLog("error", "Uebergabepfad abgelehnt, er enthaelt " + swallowed + ": " + root);
    refused_root_reported = root;
  }
  return false;
}

}  // namespace

bool ReadGlobalSettings() {
  bool readable = Refresh(ServiceSettings.Wartezeit, "Wartezeit", "10");
  readable = Refresh(ServiceSettings.AdminLog, "AdminLog", "0") && readable;
  readable = Refresh(ServiceSettings.UebergabePfad, "UebergabePfad",
                     platform::DefaultTransferRoot(ExecutableBaseName())) &&
             readable;
  const bool walk = AcceptTransferRoot(ServiceSettings.UebergabePfad);
  readable = Refresh(ServiceSettings.ProgrammEnde, "ProgrammEnde", "0") && readable;
  readable = Refresh(ServiceSettings.MetricsFile, "MetricsFile", "") && readable;
  readable = Refresh(ServiceSettings.BildspeicherMB, "BildspeicherMB", "0") && readable;
  readable = Refresh(ServiceSettings.BandspeicherMB, "BandspeicherMB", "16") && readable;
  readable = Refresh(ServiceSettings.VollstaendigeSuche, "VollstaendigeSuche", "0") && readable;
  if (readable) {
    unreadable_reported = false;
  } else if (!unreadable_reported) {
    WriteLog("error",
             "Einstellungsdatei nicht lesbar, die letzten Einstellungen gelten weiter: " + IniFile);
    unreadable_reported = true;
  }
  return walk;
}

}  // namespace plotspool
