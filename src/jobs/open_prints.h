// Pages handed to the print system whose fate is not known yet. The service does not wait for
// them: each tick asks the print system once about those still open, reports what did not print
// and keeps a plot's bytes aside until its page is known to be printed.
#ifndef PLOTSPOOL_JOBS_OPEN_PRINTS_H_
#define PLOTSPOOL_JOBS_OPEN_PRINTS_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_identity.h"

namespace plotspool {

// The print system's job that received one job's page.
struct SentPrint {
  int job_id = 0;
  std::string queue;
};

struct OpenPrint {
  SentPrint sent;
  std::string section;    // the printer section of the job, for the metrics
  std::string file_name;  // the job file's name, for the log
  std::string kept;       // where the plot's bytes wait; empty when they could not be kept
  bool stop_reported = false;
};

// Open prints kept at most; past it the oldest is no longer followed (its bytes stay aside).
inline constexpr std::size_t kMaxOpenPrints = 500;

// The folder beside the printer folders where printed plots wait for their page's fate. Hidden,
// so the walk never takes them for jobs, and not named like the service's own temporaries, which
// are swept. Empty while no transfer root is known.
std::string PrintedPlotsFolder();

// Instead of removing the finished job file `path` (still the version `version`): moves it into
// PrintedPlotsFolder() when a rename can (same file system), else removes it as before, and
// follows `sent` from now on. False when the file was another version (nothing done to it).
bool KeepUntilPrinted(const std::string& path, const platform::FileIdentity& version,
                      const SentPrint& sent, const std::string& section);
// Follows `sent` without any bytes kept (a job moved aside after its page was sent).
void FollowPrint(const SentPrint& sent, const std::string& section, const std::string& file_name);

// One look at the open prints: nothing at all when none is open, otherwise one request for the
// unfinished jobs and one more for each that finished since. A completed page removes its kept
// plot (an "Info" line when `admin_log` is on); an aborted, cancelled or vanished one gets an
// "error" line and its plot stays; one held or stopped gets an "error" line once. Never throws.
void FollowOpenPrints(bool admin_log);

// The prints followed now, oldest first.
std::vector<OpenPrint> OpenPrints();

// The list file beside the settings file (AppPath + base name + ".prints"); tests point it
// elsewhere, an empty path means the default. Forgets what is held in memory.
void ResetOpenPrints(const std::string& path = {});

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_OPEN_PRINTS_H_
