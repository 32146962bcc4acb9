// The outputs of a TIFF job, in this order and each only when its setting is not empty: the
// hand-off to an external program, the print, the copy to the output folder; then the close.
#ifndef PLOTSPOOL_JOBS_JOB_OUTPUT_H_
#define PLOTSPOOL_JOBS_JOB_OUTPUT_H_

#include <cstdint>
#include <optional>
#include <string>

#include "base/error.h"
#include "jobs/open_prints.h"
#include "jobs/paper_detection.h"

namespace plotspool {

// What the detection and the profile said about one job.
struct JobValues {
  std::string DetectedFormat;
  std::string DetectedOrientation;
  std::string TargetFormat;
  std::string WantedOrientation;  // the print settles an empty one to the detected orientation
  PaperDetection Measured;        // this job's sides, for the page fit
  std::optional<SentPrint> Sent;  // the print system's job, once it holds the whole page
};

// How long the external program may run before it is stopped.
inline constexpr int16_t kHandOffTimeoutSeconds = 240;
// The time-out in force; tests shorten it to exercise the same path.
extern int16_t HandOffTimeoutSeconds;

// The workstation that receives the notice about an image that does not fit its page.
inline constexpr const char* kNoticeWorkstation = "PLOTADMIN";

class JobVersion;

// Runs the outputs of the job `directory` + `file_name`, whose image is loaded in the host
// form's imaging control. Failures before a printer matched raise RuntimeError (the job-level
// handler logs them); failures between the match and the found check raise PassedToCaller.
// An output the journal holds as completed for this version is not repeated. Returns why the
// job's file is to be kept rather than removed: no installed printer matched (the job then ended
// without copy and close), the print failed, or the image reported a failure at the end.
std::optional<RuntimeError> RunJobOutputs(const std::string& file_name,
                                          const std::string& directory, JobValues& job,
                                          JobVersion& version);

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_JOB_OUTPUT_H_
