// The settings file as bytes on the disk: what ini_file.cc needs of the system to read the file
// whole and to replace it. Internal to src/platform/.
#ifndef PLOTSPOOL_PLATFORM_INI_FILE_IO_H_
#define PLOTSPOOL_PLATFORM_INI_FILE_IO_H_

#include <string>
#include <string_view>

#include "platform/ini_file.h"

namespace plotspool::platform {

// Reads the whole regular file `path` into `contents` and its stamp into `stamp`. Anything else
// at the path (a FIFO, a device) is unreadable without blocking, and so is a file above
// kMaxIniFileBytes. Never throws.
IniFileState ReadIniFile(const std::string& path, std::string& contents, IniFileStamp& stamp);

// The file a write has to replace: the target when `file` is a symbolic link, so that the link
// stays; `file` itself otherwise (a dangling link is then replaced). Never throws.
std::string IniWriteTarget(const std::string& file);

// Replaces `path` by `contents` atomically. The file there keeps its mode and (where permitted)
// owner; a new one is made as any file the process creates. True with the new file's stamp in
// `written`; false when it failed, and then `path` is as it was. Never throws.
bool ReplaceIniFile(const std::string& path, std::string_view contents, IniFileStamp& written);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_INI_FILE_IO_H_
