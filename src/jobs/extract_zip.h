// Unpacking a ZIP job: the archive's first member replaces the job file under the job's name.
#ifndef PLOTSPOOL_JOBS_EXTRACT_ZIP_H_
#define PLOTSPOOL_JOBS_EXTRACT_ZIP_H_

#include <string>

namespace plotspool {

// Replaces the file at `job_path` by the first member of the archive it holds. True when the job
// path now holds the member; false otherwise, and then the job file is exactly as it was. Throws
// PassedToCaller when the temporary directory cannot take the unpacking (missing, read-only,
// full): that is no fault of the archive, and the job must stay for a later tick. Every
// temporary file it made is gone when it returns (or unwinds on a stop).
bool ExtractZip(const std::string& job_path);

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_EXTRACT_ZIP_H_
