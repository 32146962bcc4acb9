#include "jobs/job_output.h"

#include <exception>

#include "base/convert.h"
#include "base/error.h"
#include "config/paper_format.h"
#include "config/printer_profile.h"
#include "imaging/host_form.h"
#include "jobs/job_journal.h"
#include "jobs/like_pattern.h"
#include "jobs/page_fit.h"
#include "jobs/paper_numbers.h"
#include "jobs/process_plot_file.h"
#include "log/metrics.h"
#include "log/service_log.h"
#include "platform/files.h"
#include "platform/printer.h"
#include "platform/process.h"
#include "platform/temporary_files.h"
#include "util/message_loop.h"
#include "util/path_helpers.h"
#include "util/system_utils.h"

namespace plotspool {

int16_t HandOffTimeoutSeconds = kHandOffTimeoutSeconds;

namespace {

// Window style for the external program: minimised, not activated (no meaning on a service).
constexpr int16_t kMinimizedNoActivate = 6;

std::string ErrorLine(const PendingError& pending, const std::string& file_name,
                      const std::string& target) {
  return std::to_string(pending.number()) + " " + pending.description() + file_name + " on " +
         target;
}

// The print's temporary files exist only for one job and go on every way out of it.
struct PrintTempFiles {
  PrintTempFiles() = default;
  PrintTempFiles(const PrintTempFiles&) = delete;
  PrintTempFiles& operator=(const PrintTempFiles&) = delete;
  ~PrintTempFiles() {
    if (name.empty()) return;
    platform::RemoveFileIfExists(name + ".bmp");
    platform::RemoveFileIfExists(name);
  }
  std::string name;
};

// The journal's view of one output step of this job version: skip what completed, record what
// begins and completes.
class JournaledStep {
 public:
  JournaledStep(const JobVersion& version, OutputStep step) : version_(version), step_(step) {}
  bool Completed() const { return Journal().Completed(Id(), step_); }
  std::optional<std::string> Unconfirmed() const { return Journal().Unconfirmed(Id(), step_); }
  // Before the step touches anything: the job file must still be the version it works on.
  void Begin(std::string_view detail = {}) const {
    version_.CheckUnchanged();
    Journal().Begin(Id(), step_, detail);
  }
  void Complete() const { Journal().Complete(Id(), step_); }

 private:
  const FileIdentity& Id() const { return *version_.identity(); }
  const JobVersion& version_;
  OutputStep step_;
};

void HandOff(const std::string& file_name, const std::string& job_path, const JournaledStep& step) {
  const std::string& application = PrinterProfile.sApplication;
  std::string command_line = application + " " + GetShortPath(job_path);
  step.Begin();
  RunAndWait(command_line, kMinimizedNoActivate, HandOffTimeoutSeconds);
  // A program stopped at its time-out has run all the same: it is not started again either.
  step.Complete();
  RecordJobStep(SectionName, JobStep::kHandedOff);
  if (bRunTimedOut) {
    // Nothing is pending after a time-out, so the line reads "0 <file> on <program>".
    const PendingError none;
    WriteLog("error", ErrorLine(none, file_name, application));
  } else {
    WriteLog("info", "Copy " + file_name + " on " + application);
  }
}

// Tells the administrator's workstation that an image had to be scaled below its page.
void SendNotice(const PageFit& fit, bool portrait, const FitSides& sides) {
  const std::string& width_text = portrait ? sides.short_side_mm : sides.long_side_mm;
  const std::string& height_text = portrait ? sides.long_side_mm : sides.short_side_mm;
  const std::string command_line =
      std::string("net send ") + kNoticeWorkstation + " Paper=" + height_text + "x" + width_text +
      " Faktor=" + NumberToText(fit.ScaleFactor) + "Printer=" + NumberToText(fit.page_width) + "x" +
      NumberToText(fit.page_height);
  try {
    // Started straight, never through a shell, and not waited for: nothing reads its outcome.
    const platform::ChildProcess notice(command_line);
  } catch (const RuntimeError&) {
  }
}

// Finds the installed printer that matches sPrinterName and selects it. Empty when none matched
// (or the match has no driver). Failures after the match go to the take-over.
std::string SelectPrinter(JobValues& job, std::string& paper_number) {
  const std::string pattern = UpperCase(PrinterProfile.sPrinterName);
  std::vector<platform::InstalledPrinter> printers;
  try {
    printers = platform::InstalledPrinters();
  } catch (const platform::PrintSystemUnavailable& unavailable) {
    // No print system is not "no such printer": the job must stay for a later tick.
    throw PassedToCaller(unavailable);
  }
  for (const platform::InstalledPrinter& printer : printers) {
    if (!LikeMatch(UpperCase(printer.device_name), pattern)) continue;
    try {
      platform::CurrentPrinter().Select(printer);
      if (job.WantedOrientation.empty()) job.WantedOrientation = job.DetectedOrientation;
      paper_number = LookupPaperNumber(PrinterProfile, job.TargetFormat);
    } catch (const RuntimeError& error) {
      throw PassedToCaller(error);
    }
    return printer.driver_name;
  }
  return {};
}

// True when an earlier run of this job sent its page and the print system holds it, although the
// run ended (a crash, say) before the journal heard the print complete.
bool PrintedBefore(const JournaledStep& step, JobValues& job) {
  const std::optional<std::string> begun = step.Unconfirmed();
  if (!begun || begun->empty()) return false;
  const auto blank = begun->find(' ');
  if (blank == std::string::npos) return false;
  int job_id = 0;
  try {
    job_id = std::stoi(begun->substr(0, blank));
  } catch (const std::exception&) {
    return false;
  }
  try {
    if (platform::AskPrintJobFate(begun->substr(blank + 1), job_id) !=
        platform::PrintJobFate::kReceived) {
      return false;
    }
  } catch (const platform::PrintSystemUnavailable& unavailable) {
    throw PassedToCaller(unavailable);
  }
  step.Complete();
  job.Sent = SentPrint{job_id, begun->substr(blank + 1)};
  return true;
}

// Returns false when no printer matched: the job then ends at once. A print that failed leaves
// its error in `failure`.
bool Print(const std::string& file_name, JobValues& job, PendingError& pending,
           PrintTempFiles& temp_files, const JournaledStep& step,
           std::optional<RuntimeError>& failure) {
  std::string paper_number;
  const std::string found = SelectPrinter(job, paper_number);
  if (found.empty()) {
    WriteLog("error", "Printer (" + PrinterProfile.sPrinterName + ") not installed");
    return false;
  }

  platform::Printer& printer = platform::CurrentPrinter();
  const bool portrait = UpperCase(job.WantedOrientation) == "H";
  SkipAndRemember(pending, [&] {
    const int16_t number = TextToInt16(paper_number);
    if (platform::PaperNumbersAreNative()) {
      printer.SetPaperNumber(number);
    } else {
      printer.SetPaper(MediaNameForPaperNumber(number));
    }
  });
  SkipAndRemember(pending, [&] {
    printer.SetOrientation(portrait ? platform::kPortrait : platform::kLandscape);
  });
  YieldToMessageLoop();

  SkipAndRemember(pending, [&] {
    const std::string temp_dir = GetTempDir();
    if (temp_dir.empty()) throw RuntimeError(kPathNotFound);
    temp_files.name = platform::CreateTempFileName(temp_dir, "");
  });
  const std::string bitmap = temp_files.name.empty() ? "" : temp_files.name + ".bmp";
  // Each picture step needs the one before: when one fails, the later ones are not tried, so the
  // line names the failure that matters (a damaged image), not "empty page or picture".
  bool picture_ready = false;
  SkipAndRemember(pending, [&] {
    frmSample().oleImgEdit1().SaveAs(bitmap, ImageFileType::kBitmap);
    picture_ready = true;
  });
  // Nothing has reached the printer yet: a temporary directory without room is worth a later
  // tick, not a job removed unprinted.
  if (pending.number() == kDiskFull) throw PassedToCaller(RuntimeError(kDiskFull));
  YieldToMessageLoop();
  if (picture_ready) {
    SkipAndRemember(pending, [&] {
      picture_ready = false;
      frmSample().Picture1().LoadPicture(bitmap);
      picture_ready = true;
    });
  }
  YieldToMessageLoop();

  int32_t page_width = 0;
  int32_t page_height = 0;
  SkipAndRemember(pending, [&] { page_width = printer.PageWidthTwips(); });
  SkipAndRemember(pending, [&] { page_height = printer.PageHeightTwips(); });
  PageFit fit;
  const FitSides sides = SidesForFit(job.Measured, job.WantedOrientation, page_width, page_height);
  ComputePageFit(job.WantedOrientation, sides.long_side_mm, sides.short_side_mm, page_width,
                 page_height, fit, pending);
  if (!fit.fits) SendNotice(fit, portrait, sides);

  // The print size goes to twips with the factor held in single precision.
  const double twips_per_mm = static_cast<float>(kTwipsPerMm);
  if (picture_ready)
    SkipAndRemember(pending, [&] {
      printer.DrawPicture(frmSample().Picture1(), 0, 0,
                          static_cast<int32_t>(fit.print_width * twips_per_mm + 0.5),
                          static_cast<int32_t>(fit.print_height * twips_per_mm + 0.5));
    });
  YieldToMessageLoop();
  step.Begin();
  try {
    const std::string queue = printer.selected()->device_name;
    int sent_id = 0;
    printer.EndDoc(file_name, [&](int job_id) {
      sent_id = job_id;
      step.Begin(std::to_string(job_id) + " " + queue);
    });
    step.Complete();
    if (sent_id > 0) job.Sent = SentPrint{sent_id, queue};
    RecordJobStep(SectionName, JobStep::kPrinted);
  } catch (const PassedToCaller&) {
    throw;
  } catch (const platform::PrintSystemUnavailable& unavailable) {
    // The print system went away after the printer was chosen: the page reached no printer, so
    // the job waits for a later tick like a job that found no print system at all.
    throw PassedToCaller(unavailable);
  } catch (const RuntimeError& error) {
    pending.Set(error);
  }
  YieldToMessageLoop();

  if (pending.IsSet()) {
    WriteLog("error", ErrorLine(pending, file_name, PrinterProfile.sPrinterName));
    failure = RuntimeError(pending.number(), pending.description());
    pending.Clear();
  } else {
    WriteLog("info", "Print " + file_name + " on " + PrinterProfile.sPrinterName);
  }
  return true;
}

void CopyToOutputFolder(const std::string& file_name, const std::string& job_path, bool printed,
                        PendingError& pending, const JournaledStep& step) {
  const std::string& folder = PrinterProfile.sOutputFolder;
  step.Begin();
  if (printed) {
    SkipAndRemember(pending, [&] { platform::CopyFileReplacing(job_path, folder + file_name); });
    if (pending.IsSet()) {
      WriteLog("error", ErrorLine(pending, file_name, folder));
      pending.Clear();
      return;
    }
  } else {
    try {
      platform::CopyFileReplacing(job_path, folder + file_name);
    } catch (const RuntimeError& error) {
      // The copy may be the job's only output: keep the job for a later tick, not delete it.
      throw PassedToCaller(error);
    }
  }
  step.Complete();
  RecordJobStep(SectionName, JobStep::kCopied);
  WriteLog("info", "Copy " + file_name + " on " + folder);
}

void Close(const std::string& file_name, bool printed, PendingError& pending,
           std::optional<RuntimeError>& failure) {
  ImagingControl& control = frmSample().oleImgEdit1();
  const int32_t status = control.Status();
  if (status != 0) {
    WriteLog("error", "Code = " + ToHex(status) + " " + file_name);
    if (!failure) failure = RuntimeError(status);
  } else if (printed) {
    SkipAndRemember(pending, [&] {
      control.Save();
      HostForm::Unload();
    });
  } else {
    control.Save();
    HostForm::Unload();
  }
  YieldToMessageLoop();
}

}  // namespace

std::optional<RuntimeError> RunJobOutputs(const std::string& file_name,
                                          const std::string& directory, JobValues& job,
                                          JobVersion& version) {
  const std::string job_path = directory + file_name;
  std::optional<RuntimeError> failure;
  PendingError pending;
  PrintTempFiles temp_files;
  const JournaledStep hand_off(version, OutputStep::kHandOff);
  const JournaledStep print(version, OutputStep::kPrint);
  const JournaledStep copy(version, OutputStep::kCopy);

  if (!PrinterProfile.sApplication.empty() && !hand_off.Completed()) {
    HandOff(file_name, job_path, hand_off);
  }

  bool printed = false;
  if (!PrinterProfile.sPrinterName.empty()) {
    if (!print.Completed() && !PrintedBefore(print, job) &&
        !Print(file_name, job, pending, temp_files, print, failure)) {
      return RuntimeError(kPrinterError,
                          "Printer (" + PrinterProfile.sPrinterName + ") not installed");
    }
    printed = true;
  }

  if (!PrinterProfile.sOutputFolder.empty() && !copy.Completed()) {
    CopyToOutputFolder(file_name, job_path, printed, pending, copy);
  }
  Close(file_name, printed, pending, failure);
  return failure;
}

}  // namespace plotspool
