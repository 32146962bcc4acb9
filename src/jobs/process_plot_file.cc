#include "jobs/process_plot_file.h"

#include <exception>
#include <new>
#include <optional>
#include <utility>

#include "base/convert.h"
#include "base/path_strings.h"
#include "config/paper_format.h"
#include "config/printer_profile.h"
#include "config/service_settings.h"
#include "imaging/banded_turn.h"
#include "imaging/host_form.h"
#include "imaging/tiff_page.h"
#include "jobs/extract_zip.h"
#include "jobs/job_journal.h"
#include "jobs/job_output.h"
#include "jobs/paper_detection.h"
#include "log/metrics.h"
#include "log/service_log.h"
#include "platform/files.h"
#include "platform/large_buffer.h"
#include "util/message_loop.h"
#include "util/path_helpers.h"

namespace plotspool {

std::string SectionName;
PrinterProfileRecord PrinterProfile;

namespace {

void LogJobError(const RuntimeError& error, const std::string& job_path) {
  WriteLog("error", std::to_string(error.number()) + " " + error.description() + " " + job_path);
}

void Refuse(JobResult& result, const RuntimeError& why) {
  result.refused = true;
  result.number = why.number();
  result.description = why.description();
}

// The decoded size a turn may hold, from [Global] BildspeicherMB on this machine.
uint64_t TurnMemoryLimit() {
  const std::string& megabytes = ServiceSettings.BildspeicherMB;
  const int32_t value = megabytes.empty() ? 0 : TextToInt32(megabytes);
  if (value < 0) throw RuntimeError(kInvalidPropertyValue);
  return DecodedSizeLimitFor(static_cast<uint64_t>(value), platform::PhysicalMemoryBytes());
}

// The decoded rows one band of a turn holds, from [Global] BandspeicherMB: 1 to 4096 MB, and
// the default 16 MB for anything that is not such a number (a band size is no reason to fail
// a job).
uint64_t TurnBandSetting() {
  constexpr uint64_t kMegabyte = uint64_t{1} << 20;
  try {
    const int32_t value = TextToInt32(ServiceSettings.BandspeicherMB);
    if (value >= 1 && value <= 4096) return static_cast<uint64_t>(value) * kMegabyte;
  } catch (const RuntimeError&) {
  }
  return kDefaultTurnBandBytes;
}

// Measures the image, looks up what the profile wants for its format, turns it when the
// orientation differs and saves it back over the job file.
JobValues DetectAndTurn(const std::string& job_path, JobVersion& version) {
  JobValues job;
  job.Measured = DetectPaperFormat(job_path);
  job.DetectedFormat = job.Measured.DetectedFormat;
  job.DetectedOrientation = job.Measured.DetectedOrientation;
  const FormatRule rule = LookupFormatRule(PrinterProfile, job.DetectedFormat);
  job.TargetFormat = rule.TargetFormat;
  job.WantedOrientation = rule.WantedOrientation;

  ImagingControl& control = frmSample().oleImgEdit1();
  version.CheckUnchanged();
  control.Load(job_path);
  control.Display();
  // Exact comparison: a lower-case "q" differs from "Q" and turns.
  const bool turn =
      !job.WantedOrientation.empty() && job.WantedOrientation != job.DetectedOrientation;
  if (turn) {
    SetDecodedSizeLimit(TurnMemoryLimit());
    SetTurnBandBytes(TurnBandSetting());
    control.RotateRight();
  }
  try {
    control.Save();
  } catch (const RuntimeError& error) {
    // The save is atomic, so the job file is as delivered: worth a later try once there is room.
    if (error.number() == kDiskFull) throw PassedToCaller(error);
    throw;
  }
  if (turn) {
    version.FollowReplacement();
    RecordJobStep(SectionName, JobStep::kTurned);
  }
  YieldToMessageLoop();
  return job;
}

void ProcessAtDepth(const std::string& file_name, const std::string& directory, int depth,
                    JobVersion& version, JobResult& result) {
  const std::string job_path = directory + file_name;
  try {
    SectionName = SectionNameFromDirectory(directory);
    // Defaults in place of a section that could not be read would print nowhere and then have
    // the job deleted: the job waits in the transfer tree until the file reads well again.
    std::optional<PrinterProfileRecord> profile = ReadPrinterProfile(SectionName);
    if (!profile) {
      throw PassedToCaller(RuntimeError(kPathFileAccessError, "Einstellungsdatei nicht lesbar"));
    }
    PrinterProfile = std::move(*profile);
    // A copy into the transfer tree would be taken for a job and deleted after its success line.
    const std::string& output_folder = PrinterProfile.sOutputFolder;
    if (!output_folder.empty() && !platform::TransferRoot().empty() &&
        FoldersOverlap(output_folder, platform::TransferRoot())) {
      throw RuntimeError(kPathFileAccessError, "Path/File access error (output folder " +
                                                   output_folder + " overlaps the transfer tree " +
                                                   platform::TransferRoot() + ")");
    }
    if (!version.identity()) throw RuntimeError(kFileNotFound);
    const std::string signature = platform::ReadFileStart(job_path, 3);
    if (signature.size() < 3) throw RuntimeError(kInputPastEndOfFile);

    switch (ClassifySignature(signature)) {
      case JobType::kZip:
        if (depth >= kMaxZipNesting) {
          throw RuntimeError(kPathFileAccessError,
                             UnpackingFailure(kPathFileAccessError,
                                              "archives nested deeper than " +
                                                  std::to_string(kMaxZipNesting) + " levels"));
        }
        ExtractZip(job_path);
        version.FollowReplacement();
        ProcessAtDepth(file_name, directory, depth + 1, version, result);
        return;
      case JobType::kTiff: {
        JobValues job = DetectAndTurn(job_path, version);
        // The outputs said what failed; the file is kept for the administrator.
        const auto failure = RunJobOutputs(file_name, directory, job, version);
        result.print = job.Sent;
        if (failure) Refuse(result, *failure);
        return;
      }
      case JobType::kOther:
        Refuse(result, RuntimeError(kTypeMismatch, "Type mismatch (neither TIFF nor ZIP)"));
        return;
    }
  } catch (const PassedToCaller&) {
    throw;
  } catch (const RuntimeError& error) {
    LogJobError(error, job_path);
    Refuse(result, error);
  } catch (const std::bad_alloc&) {
    LogJobError(RuntimeError(kOutOfMemory), job_path);
    Refuse(result, RuntimeError(kOutOfMemory));
  } catch (const std::exception& other) {
    const RuntimeError error(kPathFileAccessError, other.what());
    LogJobError(error, job_path);
    Refuse(result, error);
  }
}

}  // namespace

JobType ClassifySignature(const std::string& signature) {
  if (signature == "PK\x03") return JobType::kZip;
  // "II+" is the little-endian BigTIFF, a TIFF as much as "MM" of either kind is.
  if (signature == "II*" || signature == "II+" || signature.starts_with("MM")) {
    return JobType::kTiff;
  }
  return JobType::kOther;
}

std::string SectionNameFromDirectory(const std::string& directory) {
  std::string name = directory;
  if (!name.empty() && IsPathSeparator(name.back())) name.pop_back();
  return name.substr(DirectoryPart(name).size());
}

JobResult ProcessPlotFile(const std::string& file_name, const std::string& directory) {
  // A job that fails after its image was loaded leaves the form loaded, and with it the job file
  // open: where an open file cannot be written (Windows) the sender could not send that name
  // again until the next job. Nothing of one job's image outlives it.
  struct UnloadAtEnd {
    ~UnloadAtEnd() { HostForm::Unload(); }
  } unload_at_end;
  JobVersion version(directory + file_name);
  JobResult result;
  ProcessAtDepth(file_name, directory, 0, version, result);
  result.version = version.identity();
  return result;
}

}  // namespace plotspool
