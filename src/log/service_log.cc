#include "log/service_log.h"

#include <cerrno>
#include <cstdio>

#include "platform/clock.h"
#include "service/service.h"
#include "util/error.h"

namespace plotspool {

std::string LogTimeStamp(const std::tm& local_time) {
  const bool midnight = local_time.tm_hour == 0 && local_time.tm_min == 0 && local_time.tm_sec == 0;
  char buffer[128];
  const size_t n = std::strftime(buffer, sizeof buffer, midnight ? "%x" : "%x %X", &local_time);
  return std::string(buffer, n);
}

void WriteLog(std::string_view kind, std::string_view message) {
  std::string line = LogTimeStamp(platform::LocalTimeNow());
  line += '\t';
  line += kind;
  line += '\t';
  line += message;
  line += "\r\n";

  // One write of the whole line keeps lines whole even if another process appends too.
  std::FILE* file = std::fopen(LogFile.c_str(), "ab");
  if (file == nullptr) throw ErrorFromErrno(errno);
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  const int write_errno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written) throw ErrorFromErrno(write_errno);
  if (!closed) throw ErrorFromErrno(errno);
}

}  // namespace plotspool
