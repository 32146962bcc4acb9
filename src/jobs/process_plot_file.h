// The job procedure: one completely written file from a printer directory, classified by its
// first bytes, unpacked when it is a ZIP, measured, turned and output when it is a TIFF.
#ifndef PLOTSPOOL_JOBS_PROCESS_PLOT_FILE_H_
#define PLOTSPOOL_JOBS_PROCESS_PLOT_FILE_H_

#include <optional>
#include <string>

#include "base/error.h"
#include "config/printer_profile.h"
#include "jobs/open_prints.h"
#include "platform/file_identity.h"

namespace plotspool {

// The printer section of the job in hand and its profile as read for it; set by ProcessPlotFile
// before anything else, read by the job's outputs.
extern std::string SectionName;
extern PrinterProfileRecord PrinterProfile;

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

// How a job ended, for the take-over: a finished job's file is removed, a refused one (failed,
// not a plot, no printer) is moved aside so that nothing dropped is ever lost.
struct JobResult {
  bool refused = false;
  int number = 0;           // why it was refused
  std::string description;  // likewise
  // The version of the job file the job ended with (the service may have replaced it by an
  // unpacked member or a turned image); nullopt when the file was gone.
  std::optional<platform::FileIdentity> version;
  // The print system's job that received the page, when the job printed.
  std::optional<SentPrint> print;
};

// Processes the job `directory` + `file_name` (`directory` ends in "/"). Handles its own failures
// with one "error" line and returns normally; only a PassedToCaller leaves it. Never deletes the
// job file: the take-over does that afterwards, as the result says.
JobResult ProcessPlotFile(const std::string& file_name, const std::string& directory);

enum class JobType { kZip, kTiff, kOther };

// A job's type by its first three bytes: "PK\x03" ZIP; "II*", "II+" or "MM.." TIFF.
JobType ClassifySignature(const std::string& signature);

// The printer section of a job directory: its last component ("/spool/Plotter1/" -> "Plotter1").
std::string SectionNameFromDirectory(const std::string& directory);

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_PROCESS_PLOT_FILE_H_
