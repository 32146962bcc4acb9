// The read of the service-wide settings of section [Global], at start-up and on every tick.
#ifndef PLOTSPOOL_SERVICE_GLOBAL_SETTINGS_H_
#define PLOTSPOOL_SERVICE_GLOBAL_SETTINGS_H_

#include <string>

#include "config/service_settings.h"

namespace plotspool {

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
