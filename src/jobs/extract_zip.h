// Unpacking a ZIP job: the archive's first member replaces the job file under the job's name.
#ifndef PLOTSPOOL_JOBS_EXTRACT_ZIP_H_
#define PLOTSPOOL_JOBS_EXTRACT_ZIP_H_

#include <string>

namespace plotspool {

// Replaces the file at `job_path` by the first member of the archive it holds; returns when the
// job path holds the member. Otherwise the job file is exactly as it was and it throws:
// PassedToCaller when the temporary directory cannot take the unpacking now (missing,
// read-only, full), which is no fault of the archive, so the job stays for a later tick; else
// RuntimeError(number, "<description> (<reason>)") for an archive that can never be unpacked
// (75 unusable archive or member, 57 damaged data, 61 a member larger than the temporary file
// system). The member is written into a PrivateFolder, so no member name reaches another file.
// Every temporary file it made is gone when it returns or throws (or unwinds on a stop).
void ExtractZip(const std::string& job_path);

// The description of a failed unpacking: the classic text of `number` and why.
std::string UnpackingFailure(int number, const std::string& reason);

}  // namespace plotspool

#endif  // PLOTSPOOL_JOBS_EXTRACT_ZIP_H_
