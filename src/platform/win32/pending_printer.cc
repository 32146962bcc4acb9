// Scaffolding while the Win32 back end is built: every function of printer.h fails here.
// Removed when the GDI printer lands.
#include <string>

#include "platform/printer.h"

namespace plotspool::platform {
namespace {
[[noreturn]] void Pending(const char* what) {
  throw PrintSystemUnavailable(std::string(what) + " is not built for Windows yet");
}
}  // namespace

std::vector<InstalledPrinter> InstalledPrinters() { Pending("InstalledPrinters"); }
void Printer::Select(const InstalledPrinter& printer) { selected_ = printer; }
void Printer::SetPaper(std::string_view) { Pending("Printer::SetPaper"); }
void Printer::SetOrientation(int orientation) { orientation_ = orientation; }
int32_t Printer::PageWidthTwips() const { return 0; }
int32_t Printer::PageHeightTwips() const { return 0; }
void Printer::DrawPicture(RasterRowSource&, int32_t, int32_t, int32_t, int32_t) {
  Pending("Printer::DrawPicture");
}
void Printer::EndDoc(std::string_view, const std::function<void(int)>&) {
  Pending("Printer::EndDoc");
}
PrintJobFate AskPrintJobFate(const std::string&, int) { Pending("AskPrintJobFate"); }
std::vector<PrintJobStatus> UnfinishedPrintJobs() { Pending("UnfinishedPrintJobs"); }
std::optional<PrintJobStatus> AskPrintJobStatus(int) { Pending("AskPrintJobStatus"); }
std::optional<std::string> QueueStopReason(const std::string&) { Pending("QueueStopReason"); }
std::optional<bool> QueueKnowsMedia(const std::string&, const std::string&) { return std::nullopt; }
Printer& CurrentPrinter() {
  static Printer printer;
  return printer;
}

}  // namespace plotspool::platform
