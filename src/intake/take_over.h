// The take-over of one file found in the transfer tree: wait until its transfer has finished,
// hand it to the job procedure, remove it afterwards.
#ifndef PLOTSPOOL_INTAKE_TAKE_OVER_H_
#define PLOTSPOOL_INTAKE_TAKE_OVER_H_

#include <string>

namespace plotspool {

// The size-stability cycles a file gets in one call before it is left for a later tick.
inline constexpr int kSizeCheckCycles = 15;

// Takes over the file at `path`. Reports nothing to the caller: the outcome shows in the file
// system and the log. A file still being written or locked stays for a later tick; a file that
// stays empty (or turns out truncated) is moved aside into the temporary directory.
void TakeOverFile(const std::string& path);

}  // namespace plotspool

#endif  // PLOTSPOOL_INTAKE_TAKE_OVER_H_
