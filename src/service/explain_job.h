// The operator's dry run of one job: what the service would do with a file, in plain words,
// without doing any of it.
#ifndef PLOTSPOOL_SERVICE_EXPLAIN_JOB_H_
#define PLOTSPOOL_SERVICE_EXPLAIN_JOB_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace plotspool {

// The largest ZIP member looked at; a job never unpacks into the disk for a dry run.
inline constexpr uint64_t kMaxExplainedMemberBytes = uint64_t{512} << 20;

// Writes to `out`, one fact a line, what a job for the file `path` would do: its type, the
// image's measure and format, the profile of `section` (default: the file's directory) and where
// each value comes from, the turn, the hand-off's arguments, the queue and paper of the print,
// the copy's target and the file's fate. Writes no file, no setting and no log line (AppPath and
// IniFile must be set). Returns 0 when the job would succeed, 1 when it would fail.
int ExplainJob(const std::string& path, const std::optional<std::string>& section,
               std::ostream& out);

}  // namespace plotspool

#endif  // PLOTSPOOL_SERVICE_EXPLAIN_JOB_H_
