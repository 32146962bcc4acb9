// The service-wide settings of section [Global] as last read: the service re-reads them at
// start-up and on every tick (ReadGlobalSettings); the walk, the take-over and the job read them.
#ifndef PLOTSPOOL_CONFIG_SERVICE_SETTINGS_H_
#define PLOTSPOOL_CONFIG_SERVICE_SETTINGS_H_

#include <string>

namespace plotspool {

// Held as the text read from the file; each user converts where it uses a value, so a bad value
// fails there and not here.
struct GlobalSettings {
  std::string Wartezeit;      // pacing of the take-over's waits, whole seconds
  std::string AdminLog;       // take-over diagnostics on/off
  std::string UebergabePfad;  // transfer root
  std::string ProgrammEnde;   // exactly "1" stops the service
  std::string MetricsFile;    // where the metrics are written; empty = none
  // The decoded image a turn may hold, in MB; 0 = automatic.
  std::string BildspeicherMB;
  // The decoded rows one band of a turn holds, in MB; a plot no larger is turned whole.
  std::string BandspeicherMB;
  // A true value lists every directory at every walk (see ScanDirectory).
  std::string VollstaendigeSuche;
};

extern GlobalSettings ServiceSettings;

}  // namespace plotspool

#endif  // PLOTSPOOL_CONFIG_SERVICE_SETTINGS_H_
