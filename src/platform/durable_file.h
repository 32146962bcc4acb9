// Small files that must survive a crash of the service or of the machine: appended records that
// are on the disk when the call returns, and whole replacements that are all or nothing.
#ifndef PLOTSPOOL_PLATFORM_DURABLE_FILE_H_
#define PLOTSPOOL_PLATFORM_DURABLE_FILE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace plotspool::platform {

// Appends `text` to `path` (created owner-only when missing) and waits until it is on the disk.
// Without `durable` the data is left to the system's own write-back. Throws RuntimeError.
void AppendToFile(const std::string& path, std::string_view text, bool durable = true);

// The whole content of the regular file `path`; nullopt when it is missing or larger than
// `max_bytes`. Throws RuntimeError when it exists but cannot be read.
std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t max_bytes);

// Replaces `path` by `text` atomically and durably (a hidden temporary beside it, synced and
// renamed over it). Throws RuntimeError; `path` is then as it was.
void ReplaceFileDurably(const std::string& path, std::string_view text);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_DURABLE_FILE_H_
