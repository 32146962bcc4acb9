// Temporary directory, environment values, and running an external program with a time-out.
#ifndef PLOTSPOOL_UTIL_SYSTEM_UTILS_H_
#define PLOTSPOOL_UTIL_SYSTEM_UTILS_H_

#include <cstdint>
#include <string>

namespace plotspool {

// Whether the last RunAndWait ended at its time-out. Set to false when RunAndWait starts; the
// caller reads it right after RunAndWait returns.
extern bool bRunTimedOut;

// $TMPDIR (else /tmp) with a trailing "/"; empty when longer than 144 bytes. Never throws.
std::string GetTempDir();

// The value of environment variable `name`; empty when unset or longer than 254 bytes.
std::string GetEnvVar(const std::string& name);

// Starts `command_line` (never through a shell) and waits for it to end. When it is still
// running after `timeout_seconds` whole seconds of the clock (more than T, at most T + 1
// seconds), sets bRunTimedOut, replaces `command_line` with the kill command and has the
// program killed with everything it started, without waiting for that. `window_style` has no
// meaning here. Throws RuntimeError when the program cannot be started (53: not found), and
// CloseRequested on a close request, leaving the program running.
void RunAndWait(std::string& command_line, int16_t window_style, int16_t timeout_seconds);

}  // namespace plotspool

#endif  // PLOTSPOOL_UTIL_SYSTEM_UTILS_H_
