#include "log/service_log.h"

#include <cstdio>

#include "base/error.h"
#include "platform/clock.h"
#include "platform/log_file.h"
#include "service/service.h"

namespace plotspool {

std::string LogTimeStamp(const std::tm& local_time) {
  const bool midnight = local_time.tm_hour == 0 && local_time.tm_min == 0 && local_time.tm_sec == 0;
  char buffer[128];
  const size_t n = std::strftime(buffer, sizeof buffer, midnight ? "%x" : "%x %X", &local_time);
  return std::string(buffer, n);
}

namespace {

// File names come from other machines: a line break or a TAB in one must not forge a line or a
// field of its own, so control characters are written as "\xHH".
void AppendEscaped(std::string& line, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      line += c;
    } else {
      line += "\\x";
      line += kHex[byte >> 4];
      line += kHex[byte & 0xf];
    }
  }
}

}  // namespace

void WriteLog(std::string_view kind, std::string_view message) {
  std::string line = LogTimeStamp(platform::LocalTimeNow());
  line += '\t';
  AppendEscaped(line, kind);
  line += '\t';
  AppendEscaped(line, message);
  line += "\r\n";

  const int failure = platform::AppendToLogFile(LogFile, line);
  if (failure == 0) return;
  const RuntimeError error(failure);
  const std::string report = "plotspool: cannot write " + LogFile + " (" +
                             std::to_string(error.number()) + " " + error.description() +
                             "): " + line;
  std::fwrite(report.data(), 1, report.size(), stderr);
  std::fflush(stderr);
}

}  // namespace plotspool
