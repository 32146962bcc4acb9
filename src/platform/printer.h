// The installed printers and the current printer of the process. A page is composed in memory
// only as a description (paper, orientation, one picture); EndDoc streams it to the print system
// as one job. No print-system types appear here, so another platform can implement the same.
#ifndef PLOTSPOOL_PLATFORM_PRINTER_H_
#define PLOTSPOOL_PLATFORM_PRINTER_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "platform/media_size.h"
#include "platform/raster_rows.h"

namespace plotspool::platform {

struct InstalledPrinter {
  std::string device_name;  // the queue name
  std::string driver_name;  // make and model; empty for a printer that cannot be used
};

// The print system cannot be reached (or refuses to answer) at all. Distinct from "no printer
// matched": a job must then stay where it is and be tried again later. Number 482.
class PrintSystemUnavailable : public RuntimeError {
 public:
  explicit PrintSystemUnavailable(std::string description)
      : RuntimeError(kPrinterError, std::move(description)) {}
};

// The installed printers in the print system's order. An empty list means the print system
// answered and has none; throws PrintSystemUnavailable when it cannot be asked.
std::vector<InstalledPrinter> InstalledPrinters();

enum PageOrientation : int { kPortrait = 1, kLandscape = 2 };

// True where the print system numbers paper as printer drivers do, so that a printer profile's
// paper number goes to Printer::SetPaperNumber as it is. Elsewhere the settings file maps each
// number to a media name for Printer::SetPaper.
bool PaperNumbersAreNative();

class Printer {
 public:
  Printer() = default;
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  // Makes `printer` the one later calls act on: its default paper (when the print system tells
  // it, else none), portrait, an empty page.
  void Select(const InstalledPrinter& printer);
  const std::optional<InstalledPrinter>& selected() const { return selected_; }

  // Paper by media name ("iso_a1_594x841mm"): size and margins as the printer reports them,
  // else the size the name states, without margins. Where paper numbers are native the driver
  // has to offer a paper of that size. Throws RuntimeError 380 when neither is known; the paper
  // then stays as it was.
  void SetPaper(std::string_view media_name);
  const std::string& paper_name() const { return paper_name_; }

  // Paper by the driver's paper number, where PaperNumbersAreNative(). Throws RuntimeError 380
  // for a number the driver does not know (and anywhere else); the paper then stays as it was.
  void SetPaperNumber(int16_t paper_number);

  // kPortrait or kLandscape; throws RuntimeError 380 for anything else.
  void SetOrientation(int orientation);
  int orientation() const { return orientation_; }

  // The printable area of the paper in the current orientation, in twips (1/1440 inch);
  // 0 while no paper is known.
  int32_t PageWidthTwips() const;
  int32_t PageHeightTwips() const;

  // Puts `picture` on the page, scaled into the rectangle (twips, from the printable area's top
  // left corner). The picture is not copied: it must stay alive until EndDoc. One picture per
  // page; throws RuntimeError 5 for a second one, 380 for an empty rectangle.
  void DrawPicture(RasterRowSource& picture, int32_t left, int32_t top, int32_t width,
                   int32_t height);

  // Sends the page as one job named `title`, streaming the picture; then the page is empty
  // again (paper and orientation stay). A page without a picture sends nothing. Throws
  // PrintSystemUnavailable, RuntimeError 482 with the print system's message, or the picture's
  // own error (62 for a picture that ends early); a job that was begun is cancelled then.
  // `job_created`, when given, learns the print system's job id before any page data is sent.
  void EndDoc(std::string_view title, const std::function<void(int job_id)>& job_created = nullptr);

 private:
  std::optional<InstalledPrinter> selected_;
  std::string paper_name_;
  std::optional<MediaSize> paper_;
  int16_t paper_number_ = 0;  // the driver's, where paper numbers are native; else 0
  int orientation_ = kPortrait;
  RasterRowSource* picture_ = nullptr;
  int32_t left_ = 0, top_ = 0, width_ = 0, height_ = 0;
};

// What the print system knows of a job this service created earlier.
enum class PrintJobFate {
  kReceived,     // it holds the whole page (or has printed it): sending it again would print twice
  kNotReceived,  // gone, cancelled, aborted or without its page: the page must be sent again
};

// Asks the print system about job `job_id` on `queue`; an unfinished job without its page is
// cancelled on the way. Throws PrintSystemUnavailable when it cannot be asked.
PrintJobFate AskPrintJobFate(const std::string& queue, int job_id);

// A job's state as the print system reports it (the numbers are the IPP job states).
enum class PrintJobState {
  kPending = 3,
  kHeld = 4,
  kProcessing = 5,
  kStopped = 6,
  kCanceled = 7,
  kAborted = 8,
  kCompleted = 9,
};

struct PrintJobStatus {
  int job_id = 0;
  PrintJobState state = PrintJobState::kPending;
  // Why it is in that state: the job's state reasons and the printer's last message for it,
  // as the print system words them ("job-canceled-by-user", "printer-stopped", ...).
  std::string reason;
};

// The jobs of every queue that the print system has not finished yet (pending, held, processing,
// stopped), in one request. Throws PrintSystemUnavailable when it cannot be asked.
std::vector<PrintJobStatus> UnfinishedPrintJobs();

// The state of job `job_id`; nullopt when the print system no longer knows it. A print system
// that keeps no finished jobs (each leaves its queue once printed) reports a job it no longer
// holds as completed instead. Throws PrintSystemUnavailable when it cannot be asked.
std::optional<PrintJobStatus> AskPrintJobStatus(int job_id);

// Why `queue` is stopped (its state message, or "printer-stopped"); nullopt while it is not
// stopped. Throws PrintSystemUnavailable when it cannot be asked.
std::optional<std::string> QueueStopReason(const std::string& queue);

// Whether `queue` knows the paper `media_name` (by name or by its size); nullopt when the
// queue cannot be asked. Sends nothing.
std::optional<bool> QueueKnowsMedia(const std::string& queue, const std::string& media_name);

// The current printer of the process: it stays selected from one job to the next.
Printer& CurrentPrinter();

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_PRINTER_H_
