// The service log's file: lines appended by whoever writes them, never truncated or replaced.
#ifndef PLOTSPOOL_PLATFORM_LOG_FILE_H_
#define PLOTSPOOL_PLATFORM_LOG_FILE_H_

#include <string>
#include <string_view>

namespace plotspool::platform {

// Appends `text` to `path` in one write, so that lines of several writers never interleave; the
// file is created when missing, readable as any file the process creates, and closed again
// before returning. Returns 0, or the run-time error number of the failure (61 disk full, 70
// denied, ...). Never throws.
int AppendToLogFile(const std::string& path, std::string_view text);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_LOG_FILE_H_
