// The service's spine: start-up, the polling tick and the orderly stop.
#ifndef PLOTSPOOL_SERVICE_SERVICE_H_
#define PLOTSPOOL_SERVICE_SERVICE_H_

#include <string>

namespace plotspool {

// The process entry after argument handling. Returns the exit status: 0 also for a second
// instance, which ends at once without reading or writing anything.
int Main();

// One tick of the polling timer: re-reads the service settings, stops on a stop request, walks
// the transfer tree. Returns false when the service is to stop.
bool Tick();

// Tells the service manager, when one started the service, what the service is doing ("idle",
// "walking", "taking over <path>") and the jobs done and failed in the last hour. Sent only when it
// changes; control characters are masked. Never throws; a no-op without a manager, and so in tests
// that call the procedures directly.
void ReportStatus(const std::string& status);

// The shutdown steps: timer off, bStopScan set, ProgrammEnde=0 written.
void Unload();

}  // namespace plotspool

#endif  // PLOTSPOOL_SERVICE_SERVICE_H_
