// Helpers shared by the tests: temporary directories, whole-file reads and writes, and the real
// service executable run from a test directory.
#ifndef PLOTSPOOL_TESTS_TEST_SUPPORT_H_
#define PLOTSPOOL_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <zip.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "error_number.h"
#include "platform/zip_archive.h"

namespace plotspool::testing {

// The environment variable the service takes its temporary directory from.
#ifdef _WIN32
inline constexpr const char* kTempDirVariable = "TMP";
#else
inline constexpr const char* kTempDirVariable = "TMPDIR";
#endif

// Sets (or with nullopt removes) an environment variable of this process.
void SetEnvironmentValue(const std::string& name, const std::optional<std::string>& value);

// A fresh directory below /tmp, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // The path of the entry `name` in the directory.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // The names of the directory's entries, sorted.
  std::vector<std::string> Names() const;

 private:
  std::filesystem::path path_;
};

std::string ReadWholeFile(const std::filesystem::path& path);
void WriteWholeFile(const std::filesystem::path& path, const std::string& content);

// Polls `condition` every 20 ms until it holds or `timeout` passes; returns its last value.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    struct timespec ts {
      0, 20 * 1000 * 1000
    };
    nanosleep(&ts, nullptr);
  }
  return true;
}

struct ZipMember {
  std::string name;
  std::string data;
  zip_int32_t method = ZIP_CM_DEFLATE;
  zip_uint16_t encryption = ZIP_EM_NONE;
  bool directory = false;
};

// A real archive written by libzip, members in the given order.
void MakeZip(const std::filesystem::path& path, const std::vector<ZipMember>& members);

// A fixture for extracting from archives: below a fresh root, "spool/" holds the archive
// (archive_, not yet written), "a/tmp/" is the destination and "outside/" a folder that nothing
// may reach.
class ZipArchiveFixture : public ::testing::Test {
 protected:
  void SetUp() override;

  // Every path below the test root with its size, to show that nothing was written anywhere.
  std::map<std::string, std::uintmax_t> Tree() const;

  // Opens the archive made at archive_ and extracts entry 0; returns ExtractEntry's result.
  int OpenAndExtract(platform::ZipArchive& zip);

  TempDir dir_;
  std::filesystem::path root_;
  std::filesystem::path archive_;
  std::string destination_;
};

// One member of an archive written byte by byte, for what libzip refuses to write: sizes that
// lie, names with NUL bytes, methods it does not know. `data` is stored as given (already
// compressed).
struct RawMember {
  std::string name;
  std::string data;
  std::uint64_t declared_size = 0;
  std::uint32_t crc = 0;
  std::uint16_t method = 0;
};

// The bytes of an archive holding `member` alone (sizes beyond 32 bits in zip64 fields).
std::string CraftZip(const RawMember& member);
// `plain` as a raw deflate stream, and its CRC-32.
std::string RawDeflate(const std::string& plain);
std::uint32_t Crc(const std::string& plain);

// A fixture for the service's code run in the test process: AppPath, IniFile and LogFile point
// into a fresh directory with the transfer root "root/", one printer directory below it,
// "tmp/" as TMPDIR and "out/" for output folders; the service settings have Wartezeit=0.
// Afterwards TMPDIR, the hand-off time-out and the host form are as before.
class InProcessServiceTest : public ::testing::Test {
 protected:
  explicit InProcessServiceTest(const std::string& printer = "P1");
  void SetUp() override;
  void TearDown() override;

  // The log's content; empty when there is none.
  std::string Log() const;
  bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
  // Replaces the settings file by the printer's section with `keys` ("key=value\n" lines).
  void Section(const std::string& keys) const;

  TempDir dir_;
  std::filesystem::path root_;
  std::filesystem::path printer_;
  std::filesystem::path temp_;
  std::filesystem::path out_;

 private:
  std::string printer_name_;
  std::optional<std::string> old_tmpdir_;
};

// A plot of `paper` ("A4".."A0", "A".."E") at `dpi`, bilevel CCITT G4, drawn like a real sheet.
void MakePlot(const std::filesystem::path& path, const std::string& paper = "A4",
              bool landscape = false, double dpi = 50);

// Walks `root` as the service does, once the file system's coarse clock has moved past the last
// change (so that the walk can tell the next change from it), and returns how many directories
// the walk listed.
int WalkAfterClockTick(std::string& root);

// Writes `script` as a script its owner may run and returns its path: a shell script at `path`,
// or on Windows a batch file (`path` with the extension ".cmd", echo off, CR LF lines) that a
// command line names like a program.
std::filesystem::path WriteScript(const std::filesystem::path& path, const std::string& script);

#ifdef _WIN32
// Posts WM_CLOSE to the hidden window of the process `pid`, as the session does at log-off: the
// way an operator or a test asks a running service to stop. Looks for the window until `timeout`
// passes (it appears once the service has set up its close request); false when none turned up.
bool PostCloseRequest(int pid, std::chrono::milliseconds timeout);
#endif

// What a program run to its end by RunProgram did.
struct ProgramRun {
  int status = -1;  // exit status; -1 when it had to be killed at the time-out
  std::string out;
  std::string err;
};

// Runs `program` with `args` (each one argument as given) with standard output and error
// captured and the test's environment with `environment` ("NAME=value") taking precedence.
// Kills it after `timeout`.
ProgramRun RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& environment,
                      std::chrono::milliseconds timeout);

// The plotspool executable copied into a directory of its own, so that its settings file and log
// lie there and its single-instance lock does not meet other tests' copies.
class ServiceUnderTest {
 public:
  // Copies the built executable into `dir`. `environment` entries ("NAME=value") are added to
  // the test's own environment when the service starts.
  explicit ServiceUnderTest(const std::filesystem::path& dir,
                            std::vector<std::string> environment = {});
  ~ServiceUnderTest();  // kills a service still running

  std::filesystem::path executable() const { return executable_; }
  std::filesystem::path ini() const;
  std::filesystem::path log() const;

  // The started process's id, or -1 when it could not be started.
  int Start();
  // Waits for the started service to end; its exit status, or -1 on time-out.
  int WaitForExit(std::chrono::milliseconds timeout);
  bool Running();
  // Asks the service to stop as the system does at shutdown (a close request): SIGTERM, or on
  // Windows WM_CLOSE to its hidden window.
  void RequestStop();
#ifndef _WIN32
  void Signal(int signal_number);
#endif

 private:
  struct Process;  // what the system needs beyond the id to wait for the process
  std::filesystem::path executable_;
  std::vector<std::string> environment_;
  int pid_ = -1;
  std::unique_ptr<Process> process_;
};

}  // namespace plotspool::testing

#endif  // PLOTSPOOL_TESTS_TEST_SUPPORT_H_
