// The settings file in INI layout, standing in for the platform's private-profile functions and
// reading a file as they do. Text is bytes; lines end at LF, CR LF or a lone CR. A line whose
// first non-blank byte is '[' and that holds a ']' opens a section (name between '[' and the last
// ']'); any other line holding '=' is an entry, ';' comment lines included (their key starts
// with ';'), and a line without '=' is a key without a value. Section and key match
// case-insensitively (ASCII), blanks around names and values do not count, and only the first
// section of a name and the first entry of a key count. The lines before the first section line
// form the section with the empty name. A UTF-8 byte-order mark at the very start is no part of the
// first line: reads skip it and writes keep it. A file that starts with a UTF-16 byte-order mark is
// read as UTF-8 text and written back in UTF-16 (a value that is no UTF-8 cannot be written to it).
#ifndef PLOTSPOOL_PLATFORM_INI_FILE_H_
#define PLOTSPOOL_PLATFORM_INI_FILE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plotspool::platform {

// Longest value a read returns; longer values are cut to their first bytes.
inline constexpr std::size_t kMaxIniValueBytes = 254;

// Settings files larger than this are not read (reads give empty, writes fail), so a stray
// huge file cannot exhaust memory.
inline constexpr std::size_t kMaxIniFileBytes = 64 * 1024 * 1024;

// The value of `key` in `section` of the INI text `text`: blanks around it removed, then one
// pair of surrounding quotes (double or single, alike); not cut. nullopt when the section or the
// key is absent. The view points into `text`.
std::optional<std::string_view> FindIniValue(std::string_view text, std::string_view section,
                                             std::string_view key);

// `text` with `key` = `value` set in `section`: an existing value is replaced in place, a
// missing key goes after the section's last entry, a missing section to the end; every other
// byte stays. New lines take the text's line ending (that of its first line; LF if it has none).
// nullopt when the arguments cannot form a section line and an entry line: empty names, a line
// break or NUL anywhere, '=' in the key, or a key starting with '[' or ';'.
std::optional<std::string> SetIniValue(std::string_view text, std::string_view section,
                                       std::string_view key, std::string_view value);

// Which version of the file a read saw. Two reads with equal stamps saw the same bytes, unless
// a writer kept inode, size and modification time alike (an in-place edit changes the time). A
// missing file has the default stamp.
struct IniFileStamp {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;
  friend bool operator==(const IniFileStamp&, const IniFileStamp&) = default;
};

enum class IniFileState {
  kRead,
  kMissing,     // nothing at the path
  kUnreadable,  // not a regular file, above kMaxIniFileBytes, no permission, an I/O error
};

struct IniLookup {
  IniFileState state = IniFileState::kMissing;
  // Cut to kMaxIniValueBytes; nullopt when the section or the key is absent or nothing was read.
  std::optional<std::string> value;
  IniFileStamp stamp;  // of the file read; the default unless state is kRead
};

// One entry of an INI text, in text order.
struct IniEntry {
  std::string section;  // as written in its section line, trimmed
  std::string key;      // trimmed
  std::string value;    // as a lookup returns it (unquoted), not cut
  // False when no lookup can reach it: a later section or key of the same name.
  bool reachable = true;
};

// Every entry of `text` that lies in a named section, comments left out (the service reads no
// setting from the nameless section before the first section line).
std::vector<IniEntry> ListIniEntries(std::string_view text);

// The whole of `file` into `text` (a UTF-16 file as UTF-8); the state says whether it could be
// read. Never throws.
IniFileState ReadIniText(const std::string& file, std::string& text);

// Reads `file` afresh and looks up `key` in `section`. Never throws.
IniLookup LookUpIniValue(std::string_view section, std::string_view key, const std::string& file);

// The value LookUpIniValue finds, or empty when it finds none.
std::string ReadIniString(std::string_view section, std::string_view key, const std::string& file);

// Sets the value in `file` as SetIniValue does, creating the file if it is missing (not its
// directory). Atomic: the new contents go to a temporary file in the same directory, are synced
// and renamed over the file, which keeps its mode and (where permitted) owner; a symbolic link
// is written through. True on success (also when nothing had to change), and then `written`,
// when given, receives the stamp the file now has; false when it failed, in which case the file
// is as it was and no temporary file is left.
bool WriteIniString(std::string_view section, std::string_view key, std::string_view value,
                    const std::string& file, IniFileStamp* written = nullptr);

}  // namespace plotspool::platform

#endif  // PLOTSPOOL_PLATFORM_INI_FILE_H_
