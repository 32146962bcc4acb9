// The operator's check of the settings file: every problem the service would stumble over,
// found without running it.
#ifndef PLOTSPOOL_SERVICE_CHECK_SETTINGS_H_
#define PLOTSPOOL_SERVICE_CHECK_SETTINGS_H_

#include <ostream>

namespace plotspool {

// Reads IniFile (AppPath and IniFile must be set) and writes one "problem:" line to `out` for
// every problem it sees: unknown or unreachable keys, orientations other than Q/H/empty, format
// codes that are none, paper numbers without a [PaperNumbers] entry or with media the queue
// does not know, patterns that match no queue, folders that cannot be written or overlap, values
// that are no number. Writes nothing anywhere else. Returns 0 when there is none, else 1.
int CheckSettings(std::ostream& out);

}  // namespace plotspool

#endif  // PLOTSPOOL_SERVICE_CHECK_SETTINGS_H_
