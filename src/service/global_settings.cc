#include "service/global_settings.h"

#include "config/settings_file.h"
#include "platform/files.h"
#include "service/service.h"

namespace plotspool {

GlobalSettings ServiceSettings;

void ReadGlobalSettings() {
  constexpr const char* kSection = "Global";
  ServiceSettings.Wartezeit = ReadOrCreateValue(kSection, "Wartezeit", "10", IniFile);
  ServiceSettings.AdminLog = ReadOrCreateValue(kSection, "AdminLog", "0", IniFile);
  ServiceSettings.UebergabePfad =
      ReadOrCreateValue(kSection, "UebergabePfad", "/tmp/" + ExecutableBaseName() + "/", IniFile);
  // On every call, not only after a default was written: the root may have been removed.
  platform::MakeSureDirectoryPathExists(ServiceSettings.UebergabePfad);
  ServiceSettings.ProgrammEnde = ReadOrCreateValue(kSection, "ProgrammEnde", "0", IniFile);
  ServiceSettings.BildspeicherMB = ReadOrCreateValue(kSection, "BildspeicherMB", "0", IniFile);
}

}  // namespace plotspool
