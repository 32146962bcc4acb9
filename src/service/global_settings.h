// The service-wide settings of section [Global], re-read at start-up and on every tick.
#ifndef PLOTSPOOL_SERVICE_GLOBAL_SETTINGS_H_
#define PLOTSPOOL_SERVICE_GLOBAL_SETTINGS_H_

#include <string>

namespace plotspool {

// Held as the text read from the file; each user converts where it uses a value, so a bad value
// fails there and not here.
struct GlobalSettings {
  std::string Wartezeit;      // pacing of the take-over's waits, whole seconds
  std::string AdminLog;       // take-over diagnostics on/off
  std::string UebergabePfad;  // transfer root
  std::string ProgrammEnde;   // exactly "1" stops the service
  // The decoded image a turn may hold, in MB; 0 = automatic.
  std::string BildspeicherMB;
};

extern GlobalSettings ServiceSettings;

// Fills ServiceSettings from [Global] of IniFile, writing every empty value back with its
// default, and creates the transfer root. Reports nothing; failed writes change nothing.
void ReadGlobalSettings();

}  // namespace plotspool

#endif  // PLOTSPOOL_SERVICE_GLOBAL_SETTINGS_H_
