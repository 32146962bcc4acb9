// The service as a user runs it: the real executable in a directory of its own.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "test_support.h"

namespace plotspool {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::ReadWholeFile;
using testing::WaitFor;
using testing::WriteWholeFile;

class ServiceTest : public ::testing::Test {
 protected:
  void WriteIni(const std::string& programm_ende = "0") {
    WriteWholeFile(
        service_.ini(),
        "[Global]\nWartezeit=0\nAdminLog=0\nUebergabePfad=" + (dir_.path() / "root").string() +
            "/\nProgrammEnde=" + programm_ende +
            "\nMetricsFile=\nBildspeicherMB=0\nBandspeicherMB=16\nVollstaendigeSuche=0\n");
  }
  bool IniContains(const std::string& text) {
    return ReadWholeFile(service_.ini()).find(text) != std::string::npos;
  }

  testing::TempDir dir_;
  testing::ServiceUnderTest service_{dir_.path()};
};

TEST_F(ServiceTest, FreshStartWritesTheDefaultsAndStopsOnRequest) {
  ASSERT_GT(service_.Start(), 0);
  ASSERT_TRUE(WaitFor([&] { return IniContains("VollstaendigeSuche=0\n"); }, 5s));
  EXPECT_EQ(ReadWholeFile(service_.ini()),
            "[Global]\nWartezeit=10\nAdminLog=0\nUebergabePfad=/tmp/plotspool/\nProgrammEnde=0\n"
            "MetricsFile=\nBildspeicherMB=0\nBandspeicherMB=16\nVollstaendigeSuche=0\n");
  EXPECT_TRUE(fs::is_directory("/tmp/plotspool"));

  WriteWholeFile(
      service_.ini(),
      "[Global]\nWartezeit=10\nAdminLog=0\nUebergabePfad=/tmp/plotspool/\n"
      "ProgrammEnde=1\nMetricsFile=\nBildspeicherMB=0\nBandspeicherMB=16\nVollstaendigeSuche=0\n");
  EXPECT_EQ(service_.WaitForExit(3s), 0);
  EXPECT_TRUE(IniContains("ProgrammEnde=0\n"));
  EXPECT_FALSE(fs::exists(service_.log())) << "nothing is logged at start or stop";
}

TEST_F(ServiceTest, CloseSignalsStopAndWriteProgrammEndeBack) {
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    WriteIni("5");
    ASSERT_GT(service_.Start(), 0);
    // A tick has run once the transfer root exists.
    ASSERT_TRUE(WaitFor([&] { return fs::exists(dir_.path() / "root"); }, 5s));
    service_.Signal(signal_number);
    EXPECT_EQ(service_.WaitForExit(2s), 0) << signal_number;
    EXPECT_TRUE(IniContains("ProgrammEnde=0\n")) << signal_number;
    fs::remove_all(dir_.path() / "root");
  }
}

TEST_F(ServiceTest, StopRequestAtStartStopsAtTheFirstTick) {
  WriteIni("1");
  ASSERT_GT(service_.Start(), 0);
  EXPECT_EQ(service_.WaitForExit(4s), 0);
  EXPECT_TRUE(IniContains("ProgrammEnde=0\n"));
}

TEST_F(ServiceTest, OnlyAnExactOneStops) {
  for (const char* value : {"01", " 1x", "true"}) {
    WriteIni(value);
    ASSERT_GT(service_.Start(), 0);
    EXPECT_EQ(service_.WaitForExit(2500ms), -1) << value;
    service_.Signal(SIGTERM);
    EXPECT_EQ(service_.WaitForExit(2s), 0);
  }
}

TEST_F(ServiceTest, ASecondInstanceEndsAtOnceAndTouchesNothing) {
  WriteIni();
  ASSERT_GT(service_.Start(), 0);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(dir_.path() / "root"); }, 5s));
  const std::string ini_before = ReadWholeFile(service_.ini());

  std::string program = service_.executable().string();
  char* argv[] = {program.data(), nullptr};
  pid_t second = -1;
  ASSERT_EQ(posix_spawn(&second, program.c_str(), nullptr, nullptr, argv, nullptr), 0);
  int status = -1;
  ASSERT_TRUE(WaitFor([&] { return waitpid(second, &status, WNOHANG) == second; }, 1s));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(service_.Running());
  EXPECT_EQ(ReadWholeFile(service_.ini()), ini_before);
}

TEST_F(ServiceTest, DeletedKeyIsBackAfterTheNextTick) {
  WriteIni();
  ASSERT_GT(service_.Start(), 0);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(dir_.path() / "root"); }, 5s));
  WriteWholeFile(service_.ini(), "[Global]\nWartezeit=0\nUebergabePfad=" +
                                     (dir_.path() / "root2").string() + "\nProgrammEnde=0\n");
  EXPECT_TRUE(WaitFor([&] { return IniContains("AdminLog=0"); }, 3s));
  // Written without a trailing separator: the parent exists, the last component is not made.
  EXPECT_FALSE(fs::exists(dir_.path() / "root2"));
}

TEST_F(ServiceTest, BadSettingsFilesNeverStopTheService) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 7919) % 256);
  for (const std::string& content :
       {garbage, std::string("[Global\nWartezeit=0"), std::string(10 << 20, 'x'),
        std::string("[Global]\nWartezeit=abc\n[Global]\nWartezeit=1\n")}) {
    WriteWholeFile(service_.ini(), content);
    ASSERT_GT(service_.Start(), 0);
    EXPECT_EQ(service_.WaitForExit(2500ms), -1) << "service ended on a bad settings file";
    service_.Signal(SIGTERM);
    EXPECT_EQ(service_.WaitForExit(3s), 0);
  }
}

// Everything in the transfer tree is taken as a job: a root holding the program's folder or the
// temporary directory would eat the program or take back the files moved aside. Only roots inside
// the test's directory, so that a fault here cannot walk the machine.
TEST_F(ServiceTest, RootsHoldingTheProgramOrTheTemporaryDirectoryAreRefused) {
  const fs::path app = dir_.path() / "app";
  fs::create_directories(app);
  const std::string temp = (dir_.path() / "tmp" / "spool").string() + "/";
  testing::ServiceUnderTest service(app, {"TMPDIR=" + temp});
  fs::create_directory_symlink(app, dir_.path() / "link");
  WriteWholeFile(app / "drop.txt", "would be a job");
  auto use_root = [&](const std::string& root) {
    WriteWholeFile(service.ini(), "[Global]\nWartezeit=0\nAdminLog=0\nUebergabePfad=" + root +
                                      "\nProgrammEnde=0\n");
  };
  auto refusals = [&] {
    const std::string log = fs::exists(service.log()) ? ReadWholeFile(service.log()) : "";
    std::size_t count = 0;
    for (std::size_t at = 0; (at = log.find("\terror\tUebergabepfad abgelehnt", at)) != log.npos;
         ++at) {
      ++count;
    }
    return count;
  };
  const struct {
    std::string root;
    std::string swallowed;
  } cases[] = {
      {(dir_.path() / "link").string() + "/", app.string() + "/"},
      {dir_.path().string(), app.string() + "/"},
      {(dir_.path() / "tmp").string() + "/", temp},
  };
  use_root(cases[0].root);
  ASSERT_GT(service.Start(), 0);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    use_root(cases[i].root);
    ASSERT_TRUE(WaitFor([&] { return refusals() == i + 1; }, 5s)) << cases[i].root;
    EXPECT_NE(ReadWholeFile(service.log())
                  .find("abgelehnt, er enthaelt " + cases[i].swallowed + ": " + cases[i].root),
              std::string::npos)
        << ReadWholeFile(service.log());
  }
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(refusals(), std::size(cases)) << "one line per change of the value, not per tick";
  EXPECT_FALSE(fs::exists(dir_.path() / "tmp")) << "a refused root is not created";
  EXPECT_TRUE(fs::exists(app / "drop.txt")) << "a refused root is not walked";

  use_root((dir_.path() / "in").string() + "/");
  EXPECT_TRUE(WaitFor([&] { return fs::is_directory(dir_.path() / "in"); }, 5s));
  use_root(cases[0].root);
  EXPECT_TRUE(WaitFor([&] { return refusals() == std::size(cases) + 1; }, 5s));
  service.Signal(SIGTERM);
  EXPECT_EQ(service.WaitForExit(3s), 0);
}

TEST_F(ServiceTest, AnUnreadableSettingsFileKeepsTheLastGoodSettings) {
  WriteIni();
  ASSERT_GT(service_.Start(), 0);
  const fs::path root = dir_.path() / "root";
  ASSERT_TRUE(WaitFor([&] { return fs::exists(root); }, 5s));
  const std::uintmax_t oversized = 64 * 1024 * 1024 + 1;
  fs::resize_file(service_.ini(), oversized);
  fs::remove(root);
  // Still the root read last time, not the default one, and no default written into the file.
  EXPECT_TRUE(WaitFor([&] { return fs::exists(root); }, 5s));
  std::this_thread::sleep_for(1500ms);
  const std::string log = fs::exists(service_.log()) ? ReadWholeFile(service_.log()) : "";
  const std::string line = "\terror\tEinstellungsdatei nicht lesbar";
  ASSERT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line)) << "one line per episode";
  EXPECT_EQ(fs::file_size(service_.ini()), oversized);
  WriteIni("1");
  EXPECT_EQ(service_.WaitForExit(3s), 0);
}

}  // namespace
}  // namespace plotspool
