#include "platform/printer.h"

#include <cups/cups.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/posix/pdf_page_writer.h"

namespace plotspool::platform {
namespace {

constexpr int kConnectTimeoutMs = 10000;
// A print server that stops answering in the middle of a page must not hold the service.
constexpr double kIoTimeoutSeconds = 60;
// The page goes to the local spooler: fast compression beats small output.
constexpr int kZlibLevel = 2;

struct HttpClose {
  void operator()(http_t* http) const { httpClose(http); }
};
using Http = std::unique_ptr<http_t, HttpClose>;

struct DestFree {
  void operator()(cups_dest_t* dest) const { cupsFreeDests(1, dest); }
};
using Dest = std::unique_ptr<cups_dest_t, DestFree>;

struct DestInfoFree {
  void operator()(cups_dinfo_t* info) const { cupsFreeDestInfo(info); }
};
using DestInfo = std::unique_ptr<cups_dinfo_t, DestInfoFree>;

class DestList {
 public:
  DestList(int count, cups_dest_t* dests) : count_(count), dests_(dests) {}
  ~DestList() { cupsFreeDests(count_, dests_); }
  DestList(const DestList&) = delete;
  DestList& operator=(const DestList&) = delete;

 private:
  int count_;
  cups_dest_t* dests_;
};

// "host:port", or the path of a local socket.
std::string ServerName() {
  const std::string server = cupsServer();
  return server.starts_with('/') ? server : server + ":" + std::to_string(ippPort());
}

// A connection of our own (not the library's shared one) so that every wait has a time-out.
Http TryConnect() {
  http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                              kConnectTimeoutMs, nullptr);
  if (http != nullptr) {
    httpSetTimeout(
        http, kIoTimeoutSeconds, [](http_t*, void*) { return 0; }, nullptr);
  }
  return Http(http);
}

Http Connect() {
  Http http = TryConnect();
  if (!http) {
    throw PrintSystemUnavailable("print system at " + ServerName() +
                                 " cannot be reached: " + std::strerror(errno));
  }
  return http;
}

// The library's last status decides; its message can belong to an older failure.
bool Failed(ipp_status_t status) { return status >= IPP_STATUS_REDIRECTION_OTHER_SITE; }

[[noreturn]] void ThrowLastError(std::string_view queue, std::string_view what) {
  const ipp_status_t status = cupsLastError();
  std::string description = std::string(what) + " on " + std::string(queue) + ": " +
                            cupsLastErrorString() + " (" + ippErrorString(status) + ")";
  if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE) throw PrintSystemUnavailable(description);
  throw RuntimeError(kPrinterError, description);
}

struct QueueMedia {
  std::string name;
  MediaSize size;
};

// A queue's description as the print server gives it, on a connection of its own.
struct QueueDescription {
  Http http;
  Dest dest;
  DestInfo info;
};

// Nullopt when the server cannot be reached or does not know `queue`.
std::optional<QueueDescription> DescribeQueue(const std::string& queue) {
  QueueDescription queue_description{TryConnect(), nullptr, nullptr};
  if (!queue_description.http) return std::nullopt;
  queue_description.dest.reset(
      cupsGetNamedDest(queue_description.http.get(), queue.c_str(), nullptr));
  if (!queue_description.dest) return std::nullopt;
  queue_description.info.reset(
      cupsCopyDestInfo(queue_description.http.get(), queue_description.dest.get()));
  if (!queue_description.info) return std::nullopt;
  return queue_description;
}

// Paper `media` (or the default paper when null) as the queue reports it; nullopt when the
// queue cannot be asked or does not know it.
std::optional<QueueMedia> LookUpQueueMedia(const std::string& queue, const char* media) {
  const std::optional<QueueDescription> q = DescribeQueue(queue);
  if (!q) return std::nullopt;
  cups_size_t size{};
  const int found = media != nullptr
                        ? cupsGetDestMediaByName(q->http.get(), q->dest.get(), q->info.get(), media,
                                                 CUPS_MEDIA_FLAGS_DEFAULT, &size)
                        : cupsGetDestMediaDefault(q->http.get(), q->dest.get(), q->info.get(),
                                                  CUPS_MEDIA_FLAGS_DEFAULT, &size);
  if (!found || size.width <= 0 || size.length <= 0) return std::nullopt;
  // The library measures in hundredths of a millimetre.
  QueueMedia result{size.media, {}};
  result.size.width_mm = size.width / 100.0;
  result.size.height_mm = size.length / 100.0;
  result.size.left_mm = size.left / 100.0;
  result.size.right_mm = size.right / 100.0;
  result.size.top_mm = size.top / 100.0;
  result.size.bottom_mm = size.bottom / 100.0;
  return result;
}

double MmToPoints(double mm) { return mm * 72 / 25.4; }

// Jobs whose send failed while the server could not be reached to cancel them. A server that
// comes back keeps such a job waiting for its document; it is cancelled at the next contact.
struct UnfinishedJob {
  std::string queue;
  int id = 0;
  std::string title;
};
std::vector<UnfinishedJob> unfinished_jobs;
constexpr size_t kMaxUnfinishedJobs = 64;

void CancelUnfinishedJobs(http_t* http) {
  for (auto it = unfinished_jobs.begin(); it != unfinished_jobs.end();) {
    cups_job_t* jobs = nullptr;
    const int count = cupsGetJobs2(http, &jobs, it->queue.c_str(), 1, CUPS_WHICHJOBS_ACTIVE);
    if (count < 0) {
      if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) {  // the queue is gone, and its jobs
        it = unfinished_jobs.erase(it);
        continue;
      }
      return;  // try again at the next contact
    }
    // Only the job we began (same number and name) is cancelled, never a stranger's.
    bool waiting = false;
    for (int i = 0; i < count; ++i) {
      waiting |= jobs[i].id == it->id && it->title == (jobs[i].title ? jobs[i].title : "");
    }
    cupsFreeJobs(count, jobs);
    if (waiting && Failed(cupsCancelJob2(http, it->queue.c_str(), it->id, 0))) {
      ++it;
    } else {
      it = unfinished_jobs.erase(it);
    }
  }
}

// One job on the print server. Until Finish() succeeds the job is cancelled on destruction:
// the half-sent body is cut off first (closing the connection), because finishing a document
// and then cancelling it would still print what had arrived.
class PrintJob {
 public:
  PrintJob(std::string queue, std::string_view title, const std::string& media)
      : queue_(std::move(queue)), title_(title), http_(Connect()) {
    CancelUnfinishedJobs(http_.get());
    cups_option_t* options = nullptr;
    int count = cupsAddOption("media", media.c_str(), 0, &options);
    id_ = cupsCreateJob(http_.get(), queue_.c_str(), title_.c_str(), count, options);
    cupsFreeOptions(count, options);
    if (id_ == 0) ThrowLastError(queue_, "creating the print job failed");
    if (cupsStartDocument(http_.get(), queue_.c_str(), id_, title_.c_str(), CUPS_FORMAT_PDF, 1) !=
        HTTP_STATUS_CONTINUE) {
      ThrowLastError(queue_, "starting the print job failed");
    }
  }
  ~PrintJob() {
    if (finished_ || id_ == 0) return;
    http_.reset();
    Http http = TryConnect();
    if (http && !Failed(cupsCancelJob2(http.get(), queue_.c_str(), id_, 0))) return;
    if (unfinished_jobs.size() < kMaxUnfinishedJobs) {
      unfinished_jobs.push_back({queue_, id_, title_});
    }
  }
  PrintJob(const PrintJob&) = delete;
  PrintJob& operator=(const PrintJob&) = delete;

  void Write(std::span<const uint8_t> bytes) {
    if (cupsWriteRequestData(http_.get(), reinterpret_cast<const char*>(bytes.data()),
                             bytes.size()) != HTTP_STATUS_CONTINUE) {
      const int error = httpError(http_.get());
      throw RuntimeError(kPrinterError,
                         "sending the page to " + queue_ + " failed: " +
                             (error != 0 ? std::strerror(error) : cupsLastErrorString()));
    }
  }

  int id() const { return id_; }

  void Finish() {
    if (Failed(cupsFinishDocument(http_.get(), queue_.c_str()))) {
      ThrowLastError(queue_, "the print server refused the page");
    }
    finished_ = true;
  }

 private:
  std::string queue_;
  std::string title_;
  Http http_;
  int id_ = 0;
  bool finished_ = false;
};

}  // namespace

std::vector<InstalledPrinter> InstalledPrinters() {
  Http http = Connect();
  CancelUnfinishedJobs(http.get());
  cups_dest_t* dests = nullptr;
  const int count = cupsGetDests2(http.get(), &dests);
  DestList owner(count, dests);
  // No destinations is also what the library returns when it could not ask: only the status
  // tells the two apart. "Not found" is a server with no printers.
  const ipp_status_t status = cupsLastError();
  if (count == 0 && Failed(status) && status != IPP_STATUS_ERROR_NOT_FOUND) {
    throw PrintSystemUnavailable("print system at " + ServerName() + " does not answer: " +
                                 cupsLastErrorString() + " (" + ippErrorString(status) + ")");
  }
  std::vector<InstalledPrinter> printers;
  for (int i = 0; i < count; ++i) {
    // Instances are saved option sets of a queue, not printers of their own.
    if (dests[i].instance != nullptr) continue;
    const char* model =
        cupsGetOption("printer-make-and-model", dests[i].num_options, dests[i].options);
    printers.push_back({dests[i].name, model != nullptr ? model : ""});
  }
  return printers;
}

void Printer::Select(const InstalledPrinter& printer) {
  selected_ = printer;
  orientation_ = kPortrait;
  picture_ = nullptr;
  paper_name_.clear();
  paper_.reset();
  if (std::optional<QueueMedia> media = LookUpQueueMedia(printer.device_name, nullptr)) {
    paper_name_ = media->name;
    paper_ = media->size;
  }
}

void Printer::SetPaper(std::string_view media_name) {
  const std::string name(media_name);
  std::optional<MediaSize> size;
  if (selected_ && !name.empty()) {
    if (std::optional<QueueMedia> media = LookUpQueueMedia(selected_->device_name, name.c_str())) {
      size = media->size;
    }
  }
  if (!size) size = MediaSizeFromName(name);
  if (!size) throw RuntimeError(kInvalidPropertyValue, "paper size of \"" + name + "\" unknown");
  paper_name_ = name;
  paper_ = size;
}

bool PaperNumbersAreNative() { return false; }

void Printer::SetPaperNumber(int16_t paper_number) {
  throw RuntimeError(kInvalidPropertyValue,
                     "paper number " + std::to_string(paper_number) + " needs a media name here");
}

void Printer::EndDoc(std::string_view title, const std::function<void(int job_id)>& job_created) {
  RasterRowSource* picture = picture_;
  picture_ = nullptr;  // the page is empty again, however the send ends
  if (!selected_) throw RuntimeError(kPrinterError, "no printer selected");
  if (picture == nullptr) return;
  if (!paper_) {
    throw RuntimeError(kPrinterError, "no paper size known for " + selected_->device_name);
  }
  const MediaSize sheet = orientation_ == kLandscape ? TurnedToLandscape(*paper_) : *paper_;
  PdfPage page;
  page.width_pt = MmToPoints(sheet.width_mm);
  page.height_pt = MmToPoints(sheet.height_mm);
  page.picture_left_pt = MmToPoints(sheet.left_mm) + left_ / 20.0;
  page.picture_top_pt = MmToPoints(sheet.top_mm) + top_ / 20.0;
  page.picture_width_pt = width_ / 20.0;
  page.picture_height_pt = height_ / 20.0;

  // The orientation is in the page's shape; asking the server to turn it as well would turn
  // it twice.
  PrintJob job(selected_->device_name, title, paper_name_);
  if (job_created) job_created(job.id());
  WritePdfPage(
      page, *picture, [&job](std::span<const uint8_t> bytes) { job.Write(bytes); }, kZlibLevel);
  job.Finish();
}

PrintJobFate AskPrintJobFate(const std::string& queue, int job_id) {
  Http http = Connect();
  ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  const std::string uri = "ipp://localhost/jobs/" + std::to_string(job_id);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  static const char* const kWanted[] = {"job-state", "number-of-documents"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                kWanted);
  ipp_t* response = cupsDoRequest(http.get(), request, "/");
  const std::unique_ptr<ipp_t, decltype(&ippDelete)> owner(response, &ippDelete);
  const ipp_status_t status = cupsLastError();
  if (status == IPP_STATUS_ERROR_NOT_FOUND) return PrintJobFate::kNotReceived;
  if (response == nullptr || Failed(status)) {
    throw PrintSystemUnavailable("print system at " + ServerName() + " cannot tell job " +
                                 std::to_string(job_id) + ": " + cupsLastErrorString());
  }
  ipp_attribute_t* state_attribute = ippFindAttribute(response, "job-state", IPP_TAG_ENUM);
  ipp_attribute_t* documents = ippFindAttribute(response, "number-of-documents", IPP_TAG_INTEGER);
  const int state = state_attribute != nullptr ? ippGetInteger(state_attribute, 0) : 0;
  const bool has_page = documents != nullptr && ippGetInteger(documents, 0) > 0;
  if (state == IPP_JSTATE_COMPLETED ||
      (has_page && state != IPP_JSTATE_CANCELED && state != IPP_JSTATE_ABORTED)) {
    return PrintJobFate::kReceived;
  }
  // A job still waiting for a page that will never come would only hold the queue.
  if (state == IPP_JSTATE_PENDING || state == IPP_JSTATE_HELD) {
    cupsCancelJob2(http.get(), queue.c_str(), job_id, 0);
  }
  return PrintJobFate::kNotReceived;
}

namespace {

constexpr const char* kStatusAttributes[] = {"job-id", "job-state", "job-state-reasons",
                                             "job-printer-state-message"};

ipp_t* StatusRequest(ipp_op_t operation) {
  ipp_t* request = ippNewRequest(operation);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                std::size(kStatusAttributes), nullptr, kStatusAttributes);
  return request;
}

// Adds one attribute of a job's group to `status`.
void TakeStatusAttribute(ipp_attribute_t* attribute, PrintJobStatus& status) {
  const std::string_view name = ippGetName(attribute);
  if (name == "job-id") {
    status.job_id = ippGetInteger(attribute, 0);
  } else if (name == "job-state") {
    status.state = static_cast<PrintJobState>(ippGetInteger(attribute, 0));
  } else if (name == "job-state-reasons" || name == "job-printer-state-message") {
    for (int i = 0; i < ippGetCount(attribute); ++i) {
      const char* text = ippGetString(attribute, i, nullptr);
      if (text == nullptr || *text == '\0' || std::string_view(text) == "none") continue;
      if (!status.reason.empty()) status.reason += ", ";
      status.reason += text;
    }
  }
}

// The job groups of a response, one status each.
std::vector<PrintJobStatus> JobStatuses(ipp_t* response) {
  std::vector<PrintJobStatus> statuses;
  bool in_job = false;
  for (ipp_attribute_t* attribute = ippFirstAttribute(response); attribute != nullptr;
       attribute = ippNextAttribute(response)) {
    if (ippGetGroupTag(attribute) != IPP_TAG_JOB || ippGetName(attribute) == nullptr) {
      in_job = false;
      continue;
    }
    if (!in_job) statuses.emplace_back();
    in_job = true;
    TakeStatusAttribute(attribute, statuses.back());
  }
  std::erase_if(statuses, [](const PrintJobStatus& status) { return status.job_id <= 0; });
  return statuses;
}

using Response = std::unique_ptr<ipp_t, decltype(&ippDelete)>;

}  // namespace

std::vector<PrintJobStatus> UnfinishedPrintJobs() {
  Http http = Connect();
  ipp_t* request = StatusRequest(IPP_OP_GET_JOBS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
  const Response response(cupsDoRequest(http.get(), request, "/"), &ippDelete);
  if (!response || Failed(cupsLastError())) {
    throw PrintSystemUnavailable("print system at " + ServerName() +
                                 " cannot list its jobs: " + cupsLastErrorString());
  }
  return JobStatuses(response.get());
}

std::optional<PrintJobStatus> AskPrintJobStatus(int job_id) {
  Http http = Connect();
  ipp_t* request = StatusRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  const std::string uri = "ipp://localhost/jobs/" + std::to_string(job_id);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
  const Response response(cupsDoRequest(http.get(), request, "/"), &ippDelete);
  if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND) return std::nullopt;
  if (!response || Failed(cupsLastError())) {
    throw PrintSystemUnavailable("print system at " + ServerName() + " cannot tell job " +
                                 std::to_string(job_id) + ": " + cupsLastErrorString());
  }
  std::vector<PrintJobStatus> statuses = JobStatuses(response.get());
  if (statuses.empty()) return std::nullopt;
  return statuses.front();
}

std::optional<std::string> QueueStopReason(const std::string& queue) {
  Http http = Connect();
  ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
  char uri[HTTP_MAX_URI];
  httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0,
                   "/printers/%s", queue.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  static const char* const kWanted[] = {"printer-state", "printer-state-message"};
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                kWanted);
  const Response response(cupsDoRequest(http.get(), request, "/"), &ippDelete);
  if (!response || Failed(cupsLastError())) {
    throw PrintSystemUnavailable("print system at " + ServerName() + " cannot tell queue " + queue +
                                 ": " + cupsLastErrorString());
  }
  ipp_attribute_t* state = ippFindAttribute(response.get(), "printer-state", IPP_TAG_ENUM);
  if (state == nullptr || ippGetInteger(state, 0) != IPP_PSTATE_STOPPED) return std::nullopt;
  ipp_attribute_t* message =
      ippFindAttribute(response.get(), "printer-state-message", IPP_TAG_TEXT);
  const char* text = message != nullptr ? ippGetString(message, 0, nullptr) : nullptr;
  return text != nullptr && *text != '\0' ? std::string("printer-stopped, ") + text
                                          : std::string("printer-stopped");
}

std::optional<bool> QueueKnowsMedia(const std::string& queue, const std::string& media_name) {
  const std::optional<QueueDescription> q = DescribeQueue(queue);
  if (!q) return std::nullopt;
  cups_size_t size{};
  return cupsGetDestMediaByName(q->http.get(), q->dest.get(), q->info.get(), media_name.c_str(),
                                CUPS_MEDIA_FLAGS_DEFAULT, &size) != 0;
}

}  // namespace plotspool::platform
