// The service log: one plain-text file beside the executable, one tab-separated line per event.
#ifndef PLOTSPOOL_LOG_SERVICE_LOG_H_
#define PLOTSPOOL_LOG_SERVICE_LOG_H_

#include <ctime>
#include <string>
#include <string_view>

namespace plotspool {

// Appends "<date and time>\t<kind>\t<message>\r\n" to `LogFile`, opening and closing the file
// for this one line. Never throws: a line the file does not take goes to standard error (the
// service's journal) with the reason, so that a log on a full or read-only disk can neither undo
// a finished job (and have it printed again at every tick) nor stop the service.
void WriteLog(std::string_view kind, std::string_view message);

// The time stamp of a log line: the locale's short date and long time ("%x %X"), only the date
// at exactly midnight.
std::string LogTimeStamp(const std::tm& local_time);

}  // namespace plotspool

#endif  // PLOTSPOOL_LOG_SERVICE_LOG_H_
