#include <clocale>
#include <cstdio>
#include <cstring>

#include "service/service.h"

namespace {

constexpr const char* kUsage =
    "usage: plotspool [--help | --version]\n"
    "\n"
    "Without arguments, runs the plot-spool service: polls the transfer tree named by\n"
    "UebergabePfad in [Global] of the settings file and prints, copies and hands on every plot\n"
    "dropped into a printer directory there. The settings file and the log lie beside the\n"
    "executable and carry its name (plotspool.ini, plotspool.log). Set ProgrammEnde=1 in\n"
    "[Global], or send SIGTERM, to stop it.\n"
    "\n"
    "  --help     print this text and exit\n"
    "  --version  print the version and exit\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    // Decided before anything else runs, so a mistyped command line never starts a service or
    // writes a settings file.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::printf("plotspool %s\n", PLOTSPOOL_VERSION);
      return 0;
    }
    const bool first_known =
        std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "--version") == 0;
    std::fprintf(stderr, "plotspool: unexpected argument '%s'\n", argv[first_known ? 2 : 1]);
    std::fputs(kUsage, stderr);
    return 2;
  }
  // Dates and times in the log follow the environment; numbers are always read and written with
  // a decimal point, so a value written as text reads back the same.
  std::setlocale(LC_ALL, "");
  std::setlocale(LC_NUMERIC, "C");
  return plotspool::Main();
}
