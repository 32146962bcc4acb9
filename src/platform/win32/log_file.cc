#include "platform/log_file.h"

#include <windows.h>

#include "base/error.h"
#include "platform/win32/unique_handle.h"
#include "platform/win32/win32_error.h"

namespace plotspool::platform {

int AppendToLogFile(const std::string& path, std::string_view text) {
  // The log is a Windows text file: a bare LF of the text ends its line with CR LF too.
  std::string line;
  line.reserve(text.size() + 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) line += '\r';
    line += text[i];
  }
  // Appending writers share the file; each write lands whole at its end. The log may be a link
  // an administrator set up to put it elsewhere: it is followed.
  const UniqueHandle file(CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return ErrorNumberFromWin32(GetLastError());
  DWORD written = 0;
  if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
    return ErrorNumberFromWin32(GetLastError());
  }
  // A short append leaves a cut line; the rest would no longer be one write.
  if (written != line.size()) return kDiskFull;
  return 0;
}

}  // namespace plotspool::platform
