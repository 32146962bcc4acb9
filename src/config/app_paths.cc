#include "config/app_paths.h"

#include <filesystem>

namespace plotspool {

std::string AppPath;
std::string IniFile;
std::string LogFile;

namespace {

std::string base_name;

}  // namespace

std::string ExecutableBaseName() { return base_name; }

void SetAppPaths(const std::string& executable_path) {
  const std::filesystem::path path(executable_path);
  AppPath = path.parent_path().string();
  if (AppPath.empty() || AppPath.back() != '/') AppPath += '/';
  base_name = path.stem().string();
  IniFile = AppPath + base_name + ".ini";
  LogFile = AppPath + base_name + ".log";
}

}  // namespace plotspool
