// The service under a service manager: the real executable reporting over a datagram socket the
// test owns, as systemd's NOTIFY_SOCKET would be.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"

namespace plotspool {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::WriteWholeFile;

struct Message {
  Clock::time_point at;
  std::string text;
};

// A bound datagram socket standing in for the service manager.
class FakeManager {
 public:
  // `name` is a path, or "@name" for an abstract address.
  explicit FakeManager(const std::string& name) : name_(name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path, name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address),
                  offsetof(sockaddr_un, sun_path) + name.size()) == 0;
  }
  ~FakeManager() { close(fd_); }
  FakeManager(const FakeManager&) = delete;
  FakeManager& operator=(const FakeManager&) = delete;

  bool bound() const { return bound_; }

  // Collects every datagram that arrives within `duration`.
  void Collect(std::chrono::milliseconds duration) {
    const auto end = Clock::now() + duration;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
      pollfd p{fd_, POLLIN, 0};
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
      if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
      char buffer[4096];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n >= 0) messages.push_back({Clock::now(), std::string(buffer, n)});
    }
  }
  // Collects until a datagram equal to `text` arrives or `timeout` passes.
  bool CollectUntil(const std::string& text, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
      const std::size_t before = messages.size();
      Collect(100ms);
      for (std::size_t i = before; i < messages.size(); ++i) {
        if (messages[i].text == text) return true;
      }
    }
    return false;
  }

  std::vector<Message> messages;

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
};

class ServiceNotifyTest : public ::testing::Test {
 protected:
  void WriteIni(const std::string& wartezeit) {
    WriteWholeFile(dir_.path() / "plotspool.ini",
                   "[Global]\nWartezeit=" + wartezeit +
                       "\nAdminLog=0\nUebergabePfad=" + root_.string() + "/\nProgrammEnde=0\n");
  }

  testing::TempDir dir_;
  fs::path root_ = dir_.path() / "root";
};

// Over a take-over that waits several seconds inside one tick, and idle ticks before and after:
// READY first, the watchdog fed throughout but never faster than once a second, the file being
// taken over in the status (its line break masked), STOPPING on SIGTERM.
TEST_F(ServiceNotifyTest, ReportsReadinessWatchdogStatusAndStop) {
  FakeManager manager((dir_.path() / "notify.sock").string());
  ASSERT_TRUE(manager.bound());
  WriteIni("2");  // the size check waits 2 passes of 2 seconds
  testing::ServiceUnderTest service(dir_.path(),
                                    {"NOTIFY_SOCKET=" + (dir_.path() / "notify.sock").string()});
  ASSERT_GT(service.Start(), 0);
  ASSERT_TRUE(manager.CollectUntil("READY=1", 5s));
  EXPECT_EQ(manager.messages.front().text, "READY=1") << "nothing may come before READY";

  manager.Collect(2500ms);
  fs::create_directories(root_ / "Plotter1");
  const std::string name = "plan\nMAINPID=1.tif";
  WriteWholeFile(root_ / "Plotter1" / name, "not a plot, but the take-over waits for it");
  manager.Collect(8s);
  const Clock::time_point before_stop = Clock::now();
  service.Signal(SIGTERM);
  EXPECT_TRUE(manager.CollectUntil("STOPPING=1", 3s));
  EXPECT_EQ(service.WaitForExit(3s), 0);

  std::vector<Clock::time_point> feeds;
  bool saw_take_over = false;
  bool saw_failure_counted = false;
  for (const Message& m : manager.messages) {
    EXPECT_EQ(m.text.find('\n'), std::string::npos) << "one assignment per datagram: " << m.text;
    if (m.text == "WATCHDOG=1") feeds.push_back(m.at);
    if (m.text == "STATUS=taking over " + (root_ / "Plotter1" / "plan?MAINPID=1.tif").string() +
                      " (last hour: 0 done, 0 failed)") {
      saw_take_over = true;
    }
    // The file is no plot: it is refused, and the idle status counts it.
    if (m.text == "STATUS=idle (last hour: 0 done, 1 failed)") saw_failure_counted = true;
  }
  EXPECT_TRUE(saw_take_over);
  EXPECT_TRUE(saw_failure_counted);
  EXPECT_FALSE(fs::exists(root_ / "Plotter1" / name)) << "the take-over did not finish";
  ASSERT_FALSE(feeds.empty());
  EXPECT_GE(feeds.size(), 8u);
  EXPECT_LT(feeds.front() - manager.messages.front().at, 1500ms);
  for (std::size_t i = 1; i < feeds.size(); ++i) {
    const auto gap = feeds[i] - feeds[i - 1];
    // Sent at least a second apart; a little receive jitter is allowed for.
    EXPECT_GE(gap, 950ms) << "feed " << i;
    // Every idle wait and every waiting slice inside the take-over feeds it.
    EXPECT_LE(gap, 2500ms) << "feed " << i;
  }
  EXPECT_LT(before_stop - feeds.back(), 2500ms);
}

// An abstract address ("@name") is as good as a path; without NOTIFY_SOCKET nothing is sent and
// the service runs as usual.
TEST_F(ServiceNotifyTest, AbstractAddressAndNoManager) {
  const std::string abstract = "@plotspool-notify-test-" + std::to_string(getpid());
  FakeManager manager(abstract);
  ASSERT_TRUE(manager.bound());
  WriteIni("0");
  {
    testing::ServiceUnderTest service(dir_.path(), {"NOTIFY_SOCKET=" + abstract});
    ASSERT_GT(service.Start(), 0);
    EXPECT_TRUE(manager.CollectUntil("READY=1", 5s));
    EXPECT_TRUE(manager.CollectUntil("WATCHDOG=1", 3s));
    service.Signal(SIGTERM);
    EXPECT_TRUE(manager.CollectUntil("STOPPING=1", 3s));
    EXPECT_EQ(service.WaitForExit(3s), 0);
  }
  manager.messages.clear();
  testing::ServiceUnderTest service(dir_.path());
  ASSERT_GT(service.Start(), 0);
  manager.Collect(2500ms);
  EXPECT_TRUE(service.Running());
  EXPECT_TRUE(fs::is_directory(root_)) << "the service did not tick";
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(3s), 0);
  EXPECT_TRUE(manager.messages.empty());
}

}  // namespace
}  // namespace plotspool
