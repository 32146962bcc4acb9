#include "platform/instance.h"

#include <windows.h>

#include <cstdio>
#include <functional>

#include "platform/win32/unique_handle.h"

namespace plotspool::platform {

// A named mutex: the system closes it with the process, however the process ends. The name is
// keyed to the upper-cased full path, since "C:\X.exe" and "c:/x.EXE" are one program here. In
// the Global namespace, so a copy started in another session (a service and a desktop) counts.
InstanceLock::InstanceLock(const std::string& executable_path) {
  char full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameA(executable_path.c_str(), sizeof full, full, nullptr);
  std::string key =
      length > 0 && length < sizeof full ? std::string(full, length) : executable_path;
  for (char& c : key) {
    if (c == '/') c = '\\';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  char name[64];
  std::snprintf(name, sizeof name, "Global\\plotspool-instance-%016zx",
                std::hash<std::string>{}(key));
  UniqueHandle mutex(CreateMutexA(nullptr, FALSE, name));
  if (!mutex.valid() || GetLastError() == ERROR_ALREADY_EXISTS) return;
  lock_ = OwnHandle(std::move(mutex));
}

}  // namespace plotspool::platform
