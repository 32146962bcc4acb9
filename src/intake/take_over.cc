#include "intake/take_over.h"

#include <chrono>
#include <cstdint>
#include <exception>

#include "jobs/process_plot_file.h"
#include "log/service_log.h"
#include "platform/files.h"
#include "service/global_settings.h"
#include "service/service.h"
#include "util/convert.h"
#include "util/error.h"
#include "util/message_loop.h"
#include "util/path_helpers.h"
#include "util/system_utils.h"

namespace plotspool {
namespace {

bool AdminLogOn() { return TextToBool(ServiceSettings.AdminLog); }

void SleepSeconds(int64_t seconds) {
  if (seconds > 0) SleepAndYield(std::chrono::seconds(seconds));
}

// `passes` times: sleep `seconds`, then yield.
void WaitPasses(int64_t passes, int64_t seconds) {
  for (int64_t pass = 0; pass < passes; ++pass) {
    SleepSeconds(seconds);
    YieldToMessageLoop();
  }
}

// The temporary directory, which must be known: an empty one would put files into whatever
// directory the service happens to run in.
std::string TempDir() {
  std::string dir = GetTempDir();
  if (dir.empty()) throw RuntimeError(kPathNotFound);
  return dir;
}

std::string FaultyFileName(const std::string& path) {
  return TempDir() + ExecutableBaseName() + "_Datenfehler in Datei " + GetFileName(path) + " " +
         platform::LocalTimeStamp14() + ".txt";
}

std::string AdminCopyName() {
  return TempDir() + ExecutableBaseName() + "_" + platform::LocalTimeStamp14() + ".txt";
}

// Moves the file out of the transfer tree under a name that marks it as faulty and says why.
void MoveAsideAsFaulty(const std::string& path, int number, const std::string& description) {
  const std::string faulty_name = FaultyFileName(path);
  platform::MovePath(path, faulty_name);
  WriteLog("error", "Fehlerhafte Datei verschoben nach  '" + faulty_name + "' wegen Fehler '" +
                        description + "' '" + std::to_string(number) + "'");
}

void WriteGeneralErrorLine(const RuntimeError& error, const std::string& path) {
  WriteLog("error", "Es ist ein Fehler aufgetreten '" + error.description() + "' '" +
                        std::to_string(error.number()) + "' " + path);
}

// The one error path. A failure in here (a faulty file that cannot be moved, a log that cannot
// be written) ends the take-over at once; the walk ignores it.
void HandleTakeOverError(const RuntimeError& error, const std::string& path, int16_t& counter) {
  switch (error.number()) {
    case kPermissionDenied:  // typically still held by its writer: try again later
      WriteGeneralErrorLine(error, path);
      WaitPasses(5, 1);
      YieldToMessageLoop();
      break;
    case kInputPastEndOfFile:
      MoveAsideAsFaulty(path, error.number(), error.description());
      WaitPasses(TextToInt32(ServiceSettings.Wartezeit), 1);
      YieldToMessageLoop();
      break;
    case kFileAlreadyOpen:
      // Every job file is closed by the procedure that opened it, so nothing is left to close.
      WriteGeneralErrorLine(error, path);
      WaitPasses(1, 1);
      break;
    default:
      WriteGeneralErrorLine(error, path);
      WaitPasses(5, 1);
      YieldToMessageLoop();
      break;
  }
  ++counter;
  if (counter > 10) {
    WriteLog("error", "Die Datei " + path + " konnte auch nach " + std::to_string(counter) +
                          " Versuchen nicht geöffnet werden. Fehler: " + error.description());
  }
}

// Shows the service manager which file the service is busy with for as long as it is.
class StatusWhileTakingOver {
 public:
  explicit StatusWhileTakingOver(const std::string& path) { ReportStatus("taking over " + path); }
  ~StatusWhileTakingOver() { ReportStatus("walking"); }
  StatusWhileTakingOver(const StatusWhileTakingOver&) = delete;
  StatusWhileTakingOver& operator=(const StatusWhileTakingOver&) = delete;
};

}  // namespace

void TakeOverFile(const std::string& path) {
  // One counter serves the size-check cycles and, from the open test on, the error count.
  int16_t counter = 0;
  try {
    try {
      YieldToMessageLoop();
      // Hidden files, links, directories and special files are left alone.
      if (!platform::NormalFileExists(path)) return;
      const StatusWhileTakingOver status(path);
      if (AdminLogOn()) {
        WriteLog("Info", "Start uebertragen der Datei:" + path +
                             " Bytes:" + std::to_string(platform::FileSize(path)));
      }

      int64_t first_size = 0;
      int64_t second_size = 0;
      while (second_size == 0 || second_size != first_size) {
        ++counter;
        first_size = platform::FileSize(path);
        // Wartezeit passes of Wartezeit seconds: one cycle waits the square of the setting.
        WaitPasses(TextToInt16(ServiceSettings.Wartezeit), TextToInt32(ServiceSettings.Wartezeit));
        YieldToMessageLoop();
        second_size = platform::FileSize(path);
        if (AdminLogOn()) {
          WriteLog("Info", "Pruefen der Dateigroesse:" + path + " Bytes:" +
                               std::to_string(first_size) + " -> " + std::to_string(second_size));
        }
        if (counter == kSizeCheckCycles) {
          // Even a size found stable in this last cycle waits for the next tick.
          if (second_size == 0) MoveAsideAsFaulty(path, 0, "");
          return;
        }
      }

      YieldToMessageLoop();
      counter = 0;
      YieldToMessageLoop();
      platform::TrialOpen(path);
      if (AdminLogOn()) platform::CopyFileReplacing(path, AdminCopyName());
      if (AdminLogOn()) {
        WriteLog("Info", "Start einlesen der Datei:" + path +
                             " Bytes:" + std::to_string(platform::FileSize(path)));
      }
      if (platform::NormalFileExists(path)) {
        try {
          platform::ClearAttributes(path);
        } catch (const std::exception&) {
        }
      }

      std::string file_name = GetFileName(path);
      std::string directory = path.substr(0, path.size() - file_name.size());
      ProcessPlotFile(file_name, directory);

      if (platform::NormalFileExists(path)) platform::RemoveFile(path);
    } catch (const RuntimeError&) {
      throw;
    } catch (const std::exception& other) {
      // Anything else that fails (memory, say) takes the same path as a run-time error.
      throw RuntimeError(kPathFileAccessError, other.what());
    }
  } catch (const RuntimeError& error) {
    HandleTakeOverError(error, path, counter);
  }
}

}  // namespace plotspool
