// The job procedure: one completely written file from a printer directory, classified by its
// first bytes, unpacked when it is a ZIP, measured, turned and output when it is a TIFF.
#ifndef PLOTSPOOL_JOBS_PROCESS_PLOT_FILE_H_
#define PLOTSPOOL_JOBS_PROCESS_PLOT_FILE_H_

#include <string>

#include "util/error.h"

namespace plotspool {

// Archives nested deeper than this fail the job like an archive that cannot be unpacked.
inline constexpr int kMaxZipNesting = 16;

// A failure that the job procedure does not handle itself but passes on to the take-over's
// error path, so that the job file stays in the transfer tree for a later tick.
class PassedToCaller : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
  explicit PassedToCaller(const RuntimeError& error)
      : RuntimeError(error.number(), error.description()) {}
};

// Processes the job `directory` + `file_name` (`directory` ends in "/"). Handles its own failures
// with one "error" line and returns normally; only a PassedToCaller leaves it. Never deletes the
// job file: the take-over does that afterwards.
void ProcessPlotFile(const std::string& file_name, const std::string& directory);

// The printer section of a job directory: its last component ("/spool/Plotter1/" -> "Plotter1").
std::string SectionNameFromDirectory(const std::string& directory);

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_PROCESS_PLOT_FILE_H_
