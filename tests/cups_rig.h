// A private print server for tests: a cupsd of its own on a free loopback port, in a fresh
// directory, with capture queues whose jobs can be read back (document bytes and job data).
// Tests that need it start it themselves; libcups in this process is pointed at it.
#ifndef PLOTSPOOL_TESTS_CUPS_RIG_H_
#define PLOTSPOOL_TESTS_CUPS_RIG_H_

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace plotspool::testing {

// Points libcups in this thread (and CUPS_SERVER for child processes) at `address` for the
// lifetime of the object; the previous setting comes back afterwards.
class CupsServerOverride {
 public:
  explicit CupsServerOverride(const std::string& address);
  ~CupsServerOverride();
  CupsServerOverride(const CupsServerOverride&) = delete;
  CupsServerOverride& operator=(const CupsServerOverride&) = delete;

 private:
  std::optional<std::string> previous_;
};

// A loopback TCP port that nothing listened on a moment ago.
int UnusedLoopbackPort();

struct CapturedJob {
  int id = 0;
  std::string title;
  std::string options;   // as the filter saw them: "media=... job-uuid=..."
  std::string document;  // the bytes the queue received
};

class CupsRig {
 public:
  // Starts the daemon; throws std::runtime_error when it cannot be started.
  CupsRig();
  // Stops the daemon and removes the directory.
  ~CupsRig();
  CupsRig(const CupsRig&) = delete;
  CupsRig& operator=(const CupsRig&) = delete;

  // A queue named `queue` whose printer-make-and-model is `make_and_model`.
  void AddCaptureQueue(const std::string& queue, const std::string& make_and_model);

  // A queue like a capture queue whose device cannot be opened: each job it starts stops.
  void AddFailingQueue(const std::string& queue, const std::string& make_and_model);
  // Stops `queue`: its jobs wait.
  void DisableQueue(const std::string& queue);
  void CancelJob(int job_id);

  // Stops the daemon but keeps its spool; Restart() brings it back with its jobs.
  void Halt();
  void Restart();

  const std::string& address() const { return address_; }
  const std::string& directory() const { return dir_; }

  // Every job that `queue` has completely captured, oldest first.
  std::vector<CapturedJob> CapturedJobs(const std::string& queue) const;
  // Waits until `queue` has captured at least `count` jobs; returns them (fewer on time-out).
  std::vector<CapturedJob> WaitForJobs(
      const std::string& queue, size_t count,
      std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
  // Jobs the server still has to print (pending, held or processing), by `lpstat -o`.
  std::vector<std::string> ActiveJobs() const;

 private:
  int Script(const std::string& arguments) const;

  std::string dir_;
  int port_ = 0;
  std::string address_;
  std::optional<CupsServerOverride> override_;
};

}  // namespace plotspool::testing

#endif  // PLOTSPOOL_TESTS_CUPS_RIG_H_
