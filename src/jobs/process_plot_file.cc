#include "jobs/process_plot_file.h"

#include <exception>
#include <new>

#include "config/paper_format.h"
#include "config/printer_profile.h"
#include "imaging/host_form.h"
#include "imaging/tiff_page.h"
#include "jobs/extract_zip.h"
#include "jobs/job_output.h"
#include "log/service_log.h"
#include "platform/files.h"
#include "platform/large_buffer.h"
#include "service/global_settings.h"
#include "util/convert.h"
#include "util/message_loop.h"
#include "util/path_helpers.h"

namespace plotspool {
namespace {

void LogJobError(const RuntimeError& error, const std::string& job_path) {
  WriteLog("error", std::to_string(error.number()) + " " + error.description() + " " + job_path);
}

enum class JobType { kZip, kTiff, kOther };

JobType Classify(const std::string& signature) {
  if (signature == "PK\x03") return JobType::kZip;
  if (signature == "II*" || signature.starts_with("MM")) return JobType::kTiff;
  return JobType::kOther;
}

// The decoded size a turn may hold, from [Global] BildspeicherMB on this machine.
uint64_t TurnMemoryLimit() {
  const std::string& megabytes = ServiceSettings.BildspeicherMB;
  const int32_t value = megabytes.empty() ? 0 : TextToInt32(megabytes);
  if (value < 0) throw RuntimeError(kInvalidPropertyValue);
  return DecodedSizeLimitFor(static_cast<uint64_t>(value), platform::PhysicalMemoryBytes());
}

// Measures the image, looks up what the profile wants for its format, turns it when the
// orientation differs and saves it back over the job file.
JobValues DetectAndTurn(const std::string& job_path) {
  JobValues job;
  job.Measured = DetectPaperFormat(job_path);
  job.DetectedFormat = job.Measured.DetectedFormat;
  job.DetectedOrientation = job.Measured.DetectedOrientation;
  const FormatRule rule = LookupFormatRule(job.DetectedFormat);
  job.TargetFormat = rule.TargetFormat;
  job.WantedOrientation = rule.WantedOrientation;

  ImagingControl& control = frmSample().oleImgEdit1();
  control.LoadImage(job_path);
  control.Display();
  // Exact comparison: a lower-case "q" differs from "Q" and turns.
  if (!job.WantedOrientation.empty() && job.WantedOrientation != job.DetectedOrientation) {
    SetDecodedSizeLimit(TurnMemoryLimit());
    control.RotateRight();
  }
  control.Save();
  YieldToMessageLoop();
  return job;
}

void ProcessAtDepth(const std::string& file_name, const std::string& directory, int depth) {
  const std::string job_path = directory + file_name;
  try {
    SectionName = SectionNameFromDirectory(directory);
    ReadPrinterProfile();
    const std::string signature = platform::ReadFileStart(job_path, 3);
    if (signature.size() < 3) throw RuntimeError(kInputPastEndOfFile);

    switch (Classify(signature)) {
      case JobType::kZip:
        // A failed unpacking, or an archive nested without end, ends the job without a line.
        if (depth < kMaxZipNesting && ExtractZip(job_path)) {
          ProcessAtDepth(file_name, directory, depth + 1);
        }
        return;
      case JobType::kTiff: {
        JobValues job = DetectAndTurn(job_path);
        RunJobOutputs(file_name, directory, job);
        return;
      }
      case JobType::kOther:
        return;
    }
  } catch (const PassedToCaller&) {
    throw;
  } catch (const RuntimeError& error) {
    LogJobError(error, job_path);
  } catch (const std::bad_alloc&) {
    LogJobError(RuntimeError(kOutOfMemory), job_path);
  } catch (const std::exception& other) {
    LogJobError(RuntimeError(kPathFileAccessError, other.what()), job_path);
  }
}

}  // namespace

std::string SectionNameFromDirectory(const std::string& directory) {
  std::string name = directory;
  if (!name.empty() && name.back() == '/') name.pop_back();
  std::string separator = "/";
  const int32_t last = FindLastChar(name, separator);
  return name.substr(static_cast<size_t>(last));
}

void ProcessPlotFile(const std::string& file_name, const std::string& directory) {
  ProcessAtDepth(file_name, directory, 0);
}

}  // namespace plotspool
