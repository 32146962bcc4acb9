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
  std::string MetricsFile;    // where the metrics are written; empty = none
  // The decoded image a turn may hold, in MB; 0 = automatic.
  std::string BildspeicherMB;
  // The decoded rows one band of a turn holds, in MB; a plot no larger is turned whole.
  std::string BandspeicherMB;
  // A true value lists every directory at every walk (see ScanDirectory).
  std::string VollstaendigeSuche;
};

extern GlobalSettings ServiceSettings;

// Fills ServiceSettings from [Global] of IniFile, writing every empty value back with its
// default, and creates the transfer root. Failed writes change nothing. A file that cannot be
// read (or keeps changing while a value reads empty) leaves the values of the last good read in
// place, and none is written into it; an unreadable file gets one "error" line per episode.
// A transfer root that is "/" or holds the program's folder or the temporary directory is
// refused: not created, one "error" line each time the value changes to such a root.
// True when the transfer root may be walked: known from a good read and not refused.
bool ReadGlobalSettings();

// The folder a transfer root at `root` would swallow, for which it is refused: "/", the
// program's folder or the temporary directory; empty when the root is acceptable.
std::string FolderInsideTransferRoot(const std::string& root);

}  // namespace plotspool

#endif  // PLOTSPOOL_SERVICE_GLOBAL_SETTINGS_H_
