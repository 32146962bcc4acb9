// The take-over of one file found in the transfer tree: wait until its transfer has finished,
// hand it to the job procedure, remove it afterwards.
#ifndef PLOTSPOOL_INTAKE_TAKE_OVER_H_
#define PLOTSPOOL_INTAKE_TAKE_OVER_H_

#include <functional>
#include <string>

namespace plotspool {

// The size-stability cycles a file gets in one call before it is left for a later tick.
inline constexpr int kSizeCheckCycles = 15;

// Takes over the file at `path`. Reports nothing to the caller: the outcome shows in the file
// system and the log. A file still being written or locked stays for a later tick; a file that
// stays empty (or turns out truncated) is moved aside into the temporary directory.
void TakeOverFile(const std::string& path);

// Receives what the take-over is busy with ("taking over <path>", then "walking" again); the
// service points it at its status report. Without one (tests, tools) nothing is reported.
void SetStatusObserver(std::function<void(const std::string& status)> observer);

}  // namespace plotspool

#endif  // PLOTSPOOL_INTAKE_TAKE_OVER_H_
