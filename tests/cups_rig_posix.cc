#include "cups_rig.h"

#include <arpa/inet.h>
#include <cups/cups.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace plotspool::testing {
namespace {

namespace fs = std::filesystem;

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string RunCapturingOutput(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

}  // namespace

CupsServerOverride::CupsServerOverride(const std::string& address) {
  if (const char* old = std::getenv("CUPS_SERVER")) previous_ = old;
  setenv("CUPS_SERVER", address.c_str(), 1);
  cupsSetServer(address.c_str());
}

CupsServerOverride::~CupsServerOverride() {
  if (previous_) {
    setenv("CUPS_SERVER", previous_->c_str(), 1);
  } else {
    unsetenv("CUPS_SERVER");
  }
  cupsSetServer(nullptr);  // back to the environment's choice
}

int UnusedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("bind");
  }
  close(fd);
  return ntohs(address.sin_port);
}

CupsRig::CupsRig() {
  // Tests run in parallel processes: each takes a directory and a port of its own, and tries
  // again when another process took the port in between.
  for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) {
    std::string pattern = "/tmp/plotspool-cups-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    // The filters run as lp, which must get through every parent.
    fs::permissions(pattern, fs::perms(0755));
    const int port = UnusedLoopbackPort();
    dir_ = pattern;
    if (Script("start " + Quoted(dir_) + " " + std::to_string(port)) == 0) {
      port_ = port;
    } else {
      Script("stop " + Quoted(dir_));
    }
  }
  if (port_ == 0) throw std::runtime_error("private cupsd did not start");
  address_ = "127.0.0.1:" + std::to_string(port_);
  override_.emplace(address_);
}

CupsRig::~CupsRig() {
  override_.reset();
  Script("stop " + Quoted(dir_));
}

int CupsRig::Script(const std::string& arguments) const {
  const std::string command =
      std::string(PLOTSPOOL_SOURCE_DIR) + "/scripts/cups-rig.sh " + arguments + " >/dev/null";
  return std::system(command.c_str());
}

void CupsRig::AddCaptureQueue(const std::string& queue, const std::string& make_and_model) {
  if (Script("add-capture " + Quoted(dir_) + " " + Quoted(queue) + " " + Quoted(make_and_model)) !=
      0) {
    throw std::runtime_error("adding queue " + queue + " failed");
  }
}

void CupsRig::AddFailingQueue(const std::string& queue, const std::string& make_and_model) {
  if (Script("add-failing " + Quoted(dir_) + " " + Quoted(queue) + " " + Quoted(make_and_model)) !=
      0) {
    throw std::runtime_error("adding queue " + queue + " failed");
  }
}

void CupsRig::DisableQueue(const std::string& queue) {
  if (Script("disable " + Quoted(dir_) + " " + Quoted(queue)) != 0) {
    throw std::runtime_error("stopping queue " + queue + " failed");
  }
}

void CupsRig::CancelJob(int job_id) {
  if (Script("cancel " + Quoted(dir_) + " " + std::to_string(job_id)) != 0) {
    throw std::runtime_error("cancelling job " + std::to_string(job_id) + " failed");
  }
}

void CupsRig::Halt() { Script("halt " + Quoted(dir_)); }

void CupsRig::Restart() {
  if (Script("start " + Quoted(dir_) + " " + std::to_string(port_)) != 0) {
    throw std::runtime_error("private cupsd did not start again");
  }
}

std::vector<CapturedJob> CupsRig::CapturedJobs(const std::string& queue) const {
  std::vector<CapturedJob> jobs;
  const std::string prefix = queue + "-";
  for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(dir_) / "jobs")) {
    const std::string name = entry.path().filename();
    // The filter writes the .txt file last, so its presence means the capture is complete.
    if (!name.starts_with(prefix) || entry.path().extension() != ".txt") continue;
    CapturedJob job;
    job.id = std::atoi(name.substr(prefix.size()).c_str());
    std::istringstream info(ReadWholeFile(entry.path()));
    for (std::string line; std::getline(info, line);) {
      const size_t equals = line.find('=');
      if (equals == std::string::npos) continue;
      const std::string key = line.substr(0, equals);
      if (key == "title") job.title = line.substr(equals + 1);
      if (key == "options") job.options = line.substr(equals + 1);
    }
    fs::path document = entry.path();
    job.document = ReadWholeFile(document.replace_extension(".doc"));
    jobs.push_back(std::move(job));
  }
  std::sort(jobs.begin(), jobs.end(), [](auto& a, auto& b) { return a.id < b.id; });
  return jobs;
}

std::vector<CapturedJob> CupsRig::WaitForJobs(const std::string& queue, size_t count,
                                              std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::vector<CapturedJob> jobs = CapturedJobs(queue);
    if (jobs.size() >= count || std::chrono::steady_clock::now() > deadline) return jobs;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<std::string> CupsRig::ActiveJobs() const {
  std::istringstream lines(
      RunCapturingOutput("CUPS_SERVER=" + address_ + " lpstat -o 2>/dev/null"));
  std::vector<std::string> jobs;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) jobs.push_back(line);
  }
  return jobs;
}

}  // namespace plotspool::testing
