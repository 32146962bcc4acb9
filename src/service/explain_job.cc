#include "service/explain_job.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <vector>

#include "base/convert.h"
#include "base/error.h"
#include "config/app_paths.h"
#include "config/paper_format.h"
#include "config/printer_profile.h"
#include "imaging/imaging_control.h"
#include "imaging/tiff_measure.h"
#include "jobs/extract_zip.h"
#include "jobs/job_output.h"
#include "jobs/like_pattern.h"
#include "jobs/page_fit.h"
#include "jobs/paper_detection.h"
#include "jobs/paper_numbers.h"
#include "jobs/process_plot_file.h"
#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/printer.h"
#include "platform/process.h"
#include "platform/zip_archive.h"
#include "util/path_helpers.h"
#include "util/system_utils.h"

namespace plotspool {
namespace {

// Why the job would not succeed, and what then happens to its file.
struct Failure {
  std::string reason;
  std::string fate;
};

const char* kMovedAside = "moved aside into the temporary directory with an \"error\" line";
const char* kStays = "left in the transfer tree for a later tick";

void Fact(std::ostream& out, const std::string& label, const std::string& text) {
  out << label << ": " << text << '\n';
}

// Millimetres to a tenth, for reading; the job computes with full precision.
std::string Mm(double mm) { return NumberToText(std::round(mm * 10) / 10); }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string ErrorText(const RuntimeError& error) {
  return std::to_string(error.number()) + " " + error.description();
}

std::string TypeName(JobType type) {
  switch (type) {
    case JobType::kZip:
      return "ZIP archive";
    case JobType::kTiff:
      return "TIFF image";
    case JobType::kOther:
      break;
  }
  return "neither TIFF nor ZIP";
}

// What the measurement of the image gave.
struct Measure {
  int64_t width = 0;
  int64_t height = 0;
  double x_dpi = 0;
  double y_dpi = 0;
  PaperDetection found;
};

// The one use of the paper-format detection. A file on disk goes through the detection itself;
// a ZIP member, held in memory only, is measured by the same rule (long side with the horizontal
// resolution, short side with the vertical one) and classified by its long side.
Measure MeasureImage(const std::string& job_path, const std::string* member) {
  Measure measure;
  if (member == nullptr) {
    ImagingControl control;
    control.Load(job_path);
    measure.width = control.ImageWidth();
    measure.height = control.ImageHeight();
    measure.x_dpi = control.HorizontalResolution();
    measure.y_dpi = control.VerticalResolution();
    measure.found = DetectPaperFormat(job_path);
    return measure;
  }
  const TiffMeasure tiff = MeasureTiffBytes(*member);
  measure.width = tiff.width;
  measure.height = tiff.height;
  measure.x_dpi = tiff.x_dpi;
  measure.y_dpi = tiff.y_dpi;
  PaperDetection& found = measure.found;
  const bool landscape = tiff.width > tiff.height;
  found.DetectedOrientation = landscape ? "Q" : "H";
  found.LongSidePx = static_cast<int32_t>(landscape ? tiff.width : tiff.height);
  found.ShortSidePx = static_cast<int32_t>(landscape ? tiff.height : tiff.width);
  if (tiff.x_dpi > 0 && tiff.y_dpi > 0) {
    const double long_mm = found.LongSidePx / tiff.x_dpi * 25.4;
    const double short_mm = found.ShortSidePx / tiff.y_dpi * 25.4;
    found.SizesKnown = true;
    found.DetectedFormat = ClassifyLongSide(long_mm);
    found.LongSideMm = NumberToText(long_mm);
    found.ShortSideMm = NumberToText(short_mm);
  }
  return measure;
}

// The job file's first member, followed through nested archives as the unpacking would follow
// it, read into memory only. Empty `member` when the file itself is the image.
std::optional<Failure> FollowArchives(std::ostream& out, const std::string& job_path,
                                      std::string& signature, std::string& member) {
  for (int depth = 0; ClassifySignature(signature) == JobType::kZip; ++depth) {
    if (depth >= kMaxZipNesting) {
      return Failure{"archives nested deeper than " + std::to_string(kMaxZipNesting) + " levels",
                     kMovedAside};
    }
    platform::ZipArchive archive;
    int result = depth == 0 ? archive.Open(job_path) : archive.OpenInMemory(std::move(member));
    const std::string name = archive.EntryName(0);
    if (result == 0) {
      Fact(out, "archive level " + std::to_string(depth + 1),
           "first entry " + Quoted(name) + ", " + std::to_string(archive.EntrySize(0)) +
               " bytes (further entries are ignored)");
      result = archive.ReadEntry(0, kMaxExplainedMemberBytes, member);
    }
    if (result == kOutOfMemory) {
      return Failure{"cannot be looked at without unpacking: " + archive.error_text(), kStays};
    }
    if (result != 0) {
      return Failure{"the archive cannot be unpacked: " + std::to_string(result) + " " +
                         UnpackingFailure(result, archive.error_text()),
                     kMovedAside};
    }
    signature = member.substr(0, 3);
    Fact(out, "member type", TypeName(ClassifySignature(signature)));
  }
  return std::nullopt;
}

void ExplainProfile(std::ostream& out, const std::string& section, bool from_argument,
                    const std::vector<ProfileValue>& values) {
  const bool present = std::any_of(values.begin(), values.end(),
                                   [](const ProfileValue& value) { return value.from_file; });
  Fact(out, "section",
       Quoted(section) + (from_argument ? " (named by --printer)" : " (the file's directory)") +
           (present ? "" : ", not in the settings file: a job would write it with the defaults"));
  for (const ProfileValue& value : values) {
    Fact(out, "  " + value.key,
         Quoted(value.value) + (value.from_file ? " (from the file)" : " (default)"));
  }
}

void ExplainMeasure(std::ostream& out, const Measure& measure) {
  Fact(out, "image",
       std::to_string(measure.width) + " x " + std::to_string(measure.height) + " pixels");
  Fact(out, "resolution",
       measure.x_dpi > 0 && measure.y_dpi > 0
           ? NumberToText(measure.x_dpi) + " x " + NumberToText(measure.y_dpi) + " dpi"
           : std::string("none usable stated"));
  const PaperDetection& found = measure.found;
  const std::string orientation =
      found.DetectedOrientation == "Q" ? "landscape (Q)" : std::string("portrait (H)");
  if (!found.SizesKnown) {
    Fact(out, "format",
         "not detected (no usable resolution), " + orientation +
             " by its pixels: the A0 keys apply and the print fills the page");
    return;
  }
  Fact(out, "size",
       Mm(TextToDouble(found.LongSideMm)) + " x " + Mm(TextToDouble(found.ShortSideMm)) +
           " mm (long x short side)");
  Fact(out, "format",
       found.DetectedFormat.empty()
           ? "none (the long side lies in no size class), " + orientation + ": the A0 keys apply"
           : found.DetectedFormat + ", " + orientation);
}

// The hand-off's program and arguments; a failure when the program cannot be started.
std::optional<Failure> ExplainHandOff(std::ostream& out, const std::string& job_path) {
  const std::string& application = PrinterProfile.sApplication;
  if (application.empty()) {
    Fact(out, "hand-off", "none (sApplication is empty)");
    return std::nullopt;
  }
  const std::vector<std::string> arguments =
      platform::SplitCommandLine(application + " " + GetShortPath(job_path));
  const std::string program = arguments.empty() ? "" : platform::FindProgram(arguments[0]);
  Fact(out, "hand-off program",
       program.empty()
           ? "not found"
           : program + ", waited for up to " + std::to_string(kHandOffTimeoutSeconds) + " s");
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    Fact(out, "  argument " + std::to_string(i), Quoted(arguments[i]));
  }
  if (program.empty()) {
    return Failure{"the hand-off program " +
                       Quoted(arguments.empty() ? application : arguments[0]) +
                       " cannot be started: 53 File not found",
                   kMovedAside};
  }
  return std::nullopt;
}

// The queue the pattern selects, the others, and the paper, page and scale of the print.
std::optional<Failure> ExplainPrint(std::ostream& out, const JobValues& job,
                                    const Measure& measure) {
  const std::string& pattern = PrinterProfile.sPrinterName;
  if (pattern.empty()) {
    Fact(out, "print", "none (sPrinterName is empty)");
    return std::nullopt;
  }
  std::vector<platform::InstalledPrinter> printers;
  try {
    printers = platform::InstalledPrinters();
  } catch (const platform::PrintSystemUnavailable& unavailable) {
    return Failure{"the print system cannot be reached: " + ErrorText(unavailable), kStays};
  }
  std::optional<platform::InstalledPrinter> selected;
  for (const platform::InstalledPrinter& printer : printers) {
    const bool matches = LikeMatch(UpperCase(printer.device_name), UpperCase(pattern));
    std::string verdict = "does not match " + Quoted(pattern);
    if (matches && !selected) {
      selected = printer;
      verdict = "selected by " + Quoted(pattern);
    } else if (matches) {
      verdict = "matches too, but an earlier queue wins";
    }
    Fact(out, "queue " + printer.device_name,
         verdict + " (" +
             (printer.driver_name.empty() ? "no make and model" : printer.driver_name) + ")");
  }
  if (!selected || selected->driver_name.empty()) {
    return Failure{"Printer (" + pattern + ") not installed", kMovedAside};
  }

  const std::string effective =
      job.WantedOrientation.empty() ? job.DetectedOrientation : job.WantedOrientation;
  const bool portrait = UpperCase(effective) == "H";
  PendingError pending;
  platform::Printer printer;
  printer.Select(*selected);
  const std::string paper_number = LookupPaperNumber(PrinterProfile, job.TargetFormat);
  std::string media;
  SkipAndRemember(pending, [&] {
    const int16_t number = TextToInt16(paper_number);
    if (platform::PaperNumbersAreNative()) {
      printer.SetPaperNumber(number);
      media = printer.paper_name();
      return;
    }
    media = PeekMediaNameForPaperNumber(number);
    if (media.empty()) throw RuntimeError(kInvalidPropertyValue);
    printer.SetPaper(media);
  });
  Fact(
      out, "paper number",
      Quoted(paper_number) + " for output format " + Quoted(job.TargetFormat) +
          (media.empty() ? ", no media: the paper stays as the queue has it" : ", media " + media));
  printer.SetOrientation(portrait ? platform::kPortrait : platform::kLandscape);
  Fact(out, "print orientation", portrait ? "portrait" : "landscape");
  PageFit fit;
  const FitSides sides =
      SidesForFit(measure.found, effective, printer.PageWidthTwips(), printer.PageHeightTwips());
  ComputePageFit(effective, sides.long_side_mm, sides.short_side_mm, printer.PageWidthTwips(),
                 printer.PageHeightTwips(), fit, pending);
  Fact(out, "page", Mm(fit.page_width) + " x " + Mm(fit.page_height) + " mm printable");
  Fact(out, "scale",
       "factor " + NumberToText(std::round(fit.ScaleFactor * 1e4) / 1e4) + ", printed at " +
           Mm(fit.print_width) + " x " + Mm(fit.print_height) + " mm" +
           (fit.fits ? "" : "; does not fit: a notice goes to " + std::string(kNoticeWorkstation)));
  if (pending.IsSet()) {
    return Failure{"the print would log \"" + std::to_string(pending.number()) + " " +
                       pending.description() + "\"",
                   "removed from the transfer tree after its outputs (the print failed)"};
  }
  return std::nullopt;
}

std::optional<Failure> ExplainCopy(std::ostream& out, const std::string& file_name) {
  // Without a print the copy may be the job's only output: a failed one keeps the job.
  const bool printed = !PrinterProfile.sPrinterName.empty();
  const std::string& folder = PrinterProfile.sOutputFolder;
  if (folder.empty()) {
    Fact(out, "copy", "none (sOutputFolder is empty)");
    return std::nullopt;
  }
  Fact(out, "copy to", folder + file_name + " (replacing a file of that name)");
  if (!platform::FolderWritable(folder)) {
    return Failure{
        "the output folder " + folder + " cannot be written",
        printed ? "removed from the transfer tree after its outputs (the copy failed)" : kStays};
  }
  return std::nullopt;
}

// Everything from the first bytes on; a failure when the job would not succeed.
std::optional<Failure> ExplainContent(std::ostream& out, const std::string& job_path,
                                      const std::string& file_name) {
  std::string signature;
  try {
    signature = platform::ReadFileStart(job_path, 3);
  } catch (const RuntimeError& error) {
    return Failure{"the file cannot be read: " + ErrorText(error), kStays};
  }
  if (signature.size() < 3) {
    return Failure{ErrorText(RuntimeError(kInputPastEndOfFile)) + " (shorter than 3 bytes)",
                   kMovedAside};
  }
  Fact(out, "type", TypeName(ClassifySignature(signature)));
  std::string member;
  if (std::optional<Failure> failure = FollowArchives(out, job_path, signature, member)) {
    return failure;
  }
  if (ClassifySignature(signature) == JobType::kOther) {
    return Failure{"13 Type mismatch (neither TIFF nor ZIP)", kMovedAside};
  }
  if (!member.empty()) {
    Fact(out, "unpacking", "the member would replace the job file under its name " + file_name);
  }

  Measure measure;
  try {
    measure = MeasureImage(job_path, member.empty() ? nullptr : &member);
  } catch (const RuntimeError& error) {
    return Failure{"the image cannot be loaded: " + ErrorText(error), kMovedAside};
  }
  ExplainMeasure(out, measure);

  JobValues job;
  job.Measured = measure.found;
  job.DetectedFormat = measure.found.DetectedFormat;
  job.DetectedOrientation = measure.found.DetectedOrientation;
  const FormatRule rule = LookupFormatRule(PrinterProfile, job.DetectedFormat);
  job.TargetFormat = rule.TargetFormat;
  job.WantedOrientation = rule.WantedOrientation;
  Fact(out, "output format", Quoted(job.TargetFormat));
  Fact(out, "wanted orientation",
       job.WantedOrientation.empty() ? "none: kept as detected" : Quoted(job.WantedOrientation));
  const bool turn =
      !job.WantedOrientation.empty() && job.WantedOrientation != job.DetectedOrientation;
  Fact(out, "turn",
       turn ? "yes, a quarter turn clockwise, saved over the job file" : std::string("no"));

  if (std::optional<Failure> failure = ExplainHandOff(out, job_path)) return failure;
  if (std::optional<Failure> failure = ExplainPrint(out, job, measure)) return failure;
  return ExplainCopy(out, file_name);
}

}  // namespace

int ExplainJob(const std::string& path, const std::optional<std::string>& section,
               std::ostream& out) {
  const std::string job_path = std::filesystem::absolute(path).lexically_normal().string();
  const std::string file_name = GetFileName(job_path);
  const std::string directory = job_path.substr(0, job_path.size() - file_name.size());
  Fact(out, "file", job_path);

  std::string settings;
  const platform::IniFileState state = platform::ReadIniText(IniFile, settings);
  Fact(out, "settings file",
       IniFile +
           (state == platform::IniFileState::kMissing ? " (missing: every value a default)" : ""));
  std::optional<Failure> failure;
  if (state == platform::IniFileState::kUnreadable) {
    failure = Failure{"the settings file cannot be read", kStays};
  } else {
    SectionName = section.value_or(SectionNameFromDirectory(directory));
    std::vector<ProfileValue> values;
    PrinterProfile = PeekPrinterProfile(SectionName, &values);
    ExplainProfile(out, SectionName, section.has_value(), values);
    try {
      failure = ExplainContent(out, job_path, file_name);
    } catch (const std::exception& error) {
      failure = Failure{error.what(), kStays};
    }
  }
  if (failure) {
    Fact(out, "outcome", "the job would fail: " + failure->reason);
    Fact(out, "file afterwards", failure->fate);
    return 1;
  }
  Fact(out, "outcome", "the job would succeed");
  Fact(out, "file afterwards", "removed from the transfer tree");
  return 0;
}

}  // namespace plotspool
