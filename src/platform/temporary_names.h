// The names of the service's own temporaries, alike on every system. Internal to src/platform/.
#ifndef PLOTSPOOL_PLATFORM_TEMPORARY_NAMES_H_
#define PLOTSPOOL_PLATFORM_TEMPORARY_NAMES_H_

#include <string>

namespace plotspool::platform {

// Every hidden temporary this service makes starts with this, so a later run knows a crash's
// leftover as its own (RemoveStaleTemporaries) and the transfer walk never takes one for a job;
// the sweep takes nothing else unlisted.
inline constexpr char kOwnTemporaryPrefix[] = ".plotspool-";

// Twelve random lower-case hex digits.
std::string RandomHex12();

// A fresh name for the hidden temporary that replaces the entry `leaf` of a folder:
// kOwnTemporaryPrefix, the first 64 bytes of `leaf`, a dot, RandomHex12() and ".tmp".
std::string HiddenTemporaryName(const std::string& leaf);

// Forgets `path` as a name CreateTempFileName handed out, once it is gone: it is no longer held
// open and no longer listed in the ledger. RemoveFile and RemoveFileIfExists call it after the
// removal.
void ForgetTemporaryName(const std::string& path);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_TEMPORARY_NAMES_H_
