// Where the service keeps its own files: derived once from the running executable's path, so a
// renamed copy runs with its own settings, log and lists.
#ifndef PLOTSPOOL_CONFIG_APP_PATHS_H_
#define PLOTSPOOL_CONFIG_APP_PATHS_H_

#include <string>

namespace plotspool {

// Set once at start-up by SetAppPaths.
extern std::string AppPath;  // directory of the executable, ending in "/"
extern std::string IniFile;  // AppPath + base name + ".ini"
extern std::string LogFile;  // AppPath + base name + ".log"

// The executable's file name without its extension ("plotspool").
std::string ExecutableBaseName();

// Derives AppPath, IniFile and LogFile from the path of an executable. Start-up calls it with the
// running executable; tests call it with a path in a test directory.
void SetAppPaths(const std::string& executable_path);

}  // namespace plotspool

#endif  // PLOTSPOOL_CONFIG_APP_PATHS_H_
