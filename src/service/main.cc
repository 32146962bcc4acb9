#include <clocale>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "config/app_paths.h"
#include "platform/files.h"
#include "platform/service_host.h"
#include "service/check_settings.h"
#include "service/explain_job.h"
#include "service/service.h"

namespace {

constexpr const char* kUsage =
    "usage: plotspool [--help | --version | --check-settings | --explain FILE [--printer "
    "SECTION]]\n"
    "\n"
    "Without arguments, runs the plot-spool service: polls the transfer tree named by\n"
    "UebergabePfad in [Global] of the settings file and prints, copies and hands on every plot\n"
    "dropped into a printer directory there. The settings file and the log lie beside the\n"
    "executable and carry its name (plotspool.ini, plotspool.log). Set ProgrammEnde=1 in\n"
    "[Global] to stop it, or send SIGTERM (on Windows: net stop plotspool, or taskkill\n"
    "/IM plotspool.exe without /F).\n"
    "\n"
    "  --help              print this text and exit\n"
    "  --version           print the version and exit\n"
    "  --check-settings    report every problem in the settings file; exit 1 when there is one\n"
    "  --explain FILE      tell what a job for FILE would do, doing none of it; exit 1 when it\n"
    "                      would fail\n"
    "  --printer SECTION   with --explain: use this printer section instead of the name of the\n"
    "                      file's directory\n"
    "\n"
    "--check-settings and --explain change nothing and may run beside the service.\n";

int Refuse(const std::string& why) {
  std::fprintf(stderr, "plotspool: %s\n", why.c_str());
  std::fputs(kUsage, stderr);
  return 2;
}

// The operator's tools read the settings beside the executable, as the service does, but take
// no lock: they run beside the live service.
void UseSettingsBesideExecutable() {
  plotspool::SetAppPaths(plotspool::platform::ExecutablePath());
}

}  // namespace

int main(int argc, char** argv) {
  // Dates and times in the log follow the environment; numbers are always read and written with
  // a decimal point, so a value written as text reads back the same.
  const auto set_locale = [] {
    std::setlocale(LC_ALL, "");
    std::setlocale(LC_NUMERIC, "C");
  };
  if (argc == 1) {
    set_locale();
    return plotspool::platform::RunAsService(plotspool::Main);
  }
  // Decided before anything else runs, so a mistyped command line never starts a service or
  // writes a settings file.
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args == std::vector<std::string>{"--help"}) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args == std::vector<std::string>{"--version"}) {
    std::printf("plotspool %s\n", PLOTSPOOL_VERSION);
    return 0;
  }
  if (args == std::vector<std::string>{"--check-settings"}) {
    set_locale();
    UseSettingsBesideExecutable();
    return plotspool::CheckSettings(std::cout);
  }
  if (args[0] == "--explain") {
    std::optional<std::string> section;
    if (args.size() == 4 && args[2] == "--printer" && !args[3].empty()) {
      section = args[3];
    } else if (args.size() != 2) {
      return Refuse(args.size() < 2 ? "--explain needs a file"
                                    : "unexpected argument '" + args[2] + "'");
    }
    if (args[1].empty()) return Refuse("--explain needs a file");
    set_locale();
    UseSettingsBesideExecutable();
    return plotspool::ExplainJob(args[1], section, std::cout);
  }
  const bool first_known =
      args[0] == "--help" || args[0] == "--version" || args[0] == "--check-settings";
  return Refuse("unexpected argument '" + args[first_known && args.size() > 1 ? 1 : 0] + "'");
}
