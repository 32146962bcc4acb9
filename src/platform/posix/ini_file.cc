#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/error.h"
#include "platform/posix/atomic_file.h"
#include "platform/posix/unique_fd.h"

namespace plotspool::platform {
namespace {

// ---------------------------------------------------------------------------------------------
// The parser: pure functions over the file's bytes.

// Some editors put it before the first line of a UTF-8 file.
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

enum class LineKind { kBlank, kComment, kSection, kBadSection, kEntry, kOther };

struct Line {
  LineKind kind = LineKind::kBlank;
  std::size_t end = 0;    // just past the line's terminator (or the text's end)
  std::string_view name;  // section name or entry key, trimmed
  // Entry: offsets into the text. The value field runs from after '=' to the line's end (its
  // CR LF or LF excluded); the value proper is that field trimmed.
  std::size_t after_equals = 0;
  std::size_t value_begin = 0;  // first non-blank of the field, or the field's end
  std::size_t value_end = 0;
  std::size_t field_end = 0;
};

// Splits at '\n' only, so a lone CR is an ordinary byte (and a blank when trimming).
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool Next(Line& line) {
    if (pos_ >= text_.size()) return false;
    const std::size_t begin = pos_;
    const void* newline = std::memchr(text_.data() + begin, '\n', text_.size() - begin);
    const std::size_t content_end =
        newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - text_.data())
                : text_.size();
    pos_ = newline ? content_end + 1 : content_end;
    line = Line{};
    line.end = pos_;
    line.field_end = content_end;
    if (newline && content_end > begin && text_[content_end - 1] == '\r') --line.field_end;
    Classify(begin, content_end, line);
    return true;
  }

 private:
  void Classify(std::size_t begin, std::size_t end, Line& line) const {
    const std::string_view content = Trim(text_.substr(begin, end - begin));
    if (content.empty()) {
      line.kind = LineKind::kBlank;
    } else if (content.front() == ';') {
      line.kind = LineKind::kComment;
    } else if (content.front() == '[') {
      // The last ']' closes the name, so names holding ']' (directory names may) round-trip.
      const std::size_t close = content.rfind(']');
      if (close == std::string_view::npos) {
        line.kind = LineKind::kBadSection;
      } else {
        line.kind = LineKind::kSection;
        line.name = Trim(content.substr(1, close - 1));
      }
    } else if (const std::size_t equals = content.find('='); equals != std::string_view::npos) {
      line.kind = LineKind::kEntry;
      line.name = Trim(content.substr(0, equals));
      line.after_equals = static_cast<std::size_t>(content.data() - text_.data()) + equals + 1;
      line.value_begin = line.after_equals;
      while (line.value_begin < line.field_end && IsBlank(text_[line.value_begin])) {
        ++line.value_begin;
      }
      line.value_end = line.field_end;
      while (line.value_end > line.value_begin && IsBlank(text_[line.value_end - 1])) {
        --line.value_end;
      }
    } else {
      line.kind = LineKind::kOther;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos;
}

std::string_view DetectLineEnding(std::string_view text) {
  const std::size_t newline = text.find('\n');
  if (newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r') return "\r\n";
  return "\n";
}

bool LastLineIsBlank(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  const std::size_t newline = text.rfind('\n');
  const std::string_view last = newline == std::string_view::npos ? text : text.substr(newline + 1);
  return Trim(last).empty();
}

// ---------------------------------------------------------------------------------------------
// File access.

enum class ReadOutcome { kRead, kMissing, kFailed };

IniFileStamp StampOf(const struct stat& info) {
  return IniFileStamp{
      static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
      static_cast<std::int64_t>(info.st_size),
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

// Reads the whole regular file. Anything else at the path (a FIFO, a device) is refused without
// blocking, as is a file above kMaxIniFileBytes.
ReadOutcome ReadWholeFile(const std::string& path, std::string& contents, struct stat& info) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return errno == ENOENT ? ReadOutcome::kMissing : ReadOutcome::kFailed;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return ReadOutcome::kFailed;
  if (static_cast<std::size_t>(info.st_size) > kMaxIniFileBytes) return ReadOutcome::kFailed;
  contents.clear();
  contents.resize(static_cast<std::size_t>(info.st_size));
  std::size_t filled = 0;
  // The size is only a hint: another program may be growing or shrinking the file right now.
  for (;;) {
    if (filled == contents.size()) {
      if (contents.size() >= kMaxIniFileBytes) return ReadOutcome::kFailed;
      contents.resize(std::min(kMaxIniFileBytes + 1, contents.size() + 4096));
    }
    const ssize_t got = ::read(fd.get(), contents.data() + filled, contents.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return ReadOutcome::kFailed;
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  contents.resize(filled);
  return ReadOutcome::kRead;
}

// Puts `contents` at `path` through a temporary file beside it. `existing` describes the file
// being replaced (its mode and owner are kept), or is null for a new file, which gets 0666
// less the umask like any file the process creates. `written` receives the new file's stamp.
bool ReplaceFile(const std::string& path, std::string_view contents, const struct stat* existing,
                 IniFileStamp& written) {
  try {
    AtomicReplacement replacement(path, 0666);
    if (existing != nullptr && !replacement.TakeOwnerAndMode(*existing)) return false;
    if (!WriteAll(replacement.fd(), contents)) return false;
    struct stat info;
    replacement.Commit(/*replace=*/true, &info);
    // The rename keeps inode, size and modification time, so this is the stamp readers see.
    written = StampOf(info);
    return true;
  } catch (const RuntimeError&) {
    return false;
  }
}

// The file a write has to replace: the target of a symbolic link, so that the link stays.
std::string ResolveWriteTarget(const std::string& file) {
  struct stat info;
  if (::lstat(file.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return file;
  char* resolved = ::realpath(file.c_str(), nullptr);
  if (resolved == nullptr) return file;  // dangling: the write then replaces the link
  std::string target(resolved);
  std::free(resolved);
  return target;
}

}  // namespace

std::optional<std::string_view> FindIniValue(std::string_view text, std::string_view section,
                                             std::string_view key) {
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty()) return std::nullopt;
  LineReader reader(text);
  Line line;
  bool in_section = false;
  while (reader.Next(line)) {
    switch (line.kind) {
      case LineKind::kSection:
      case LineKind::kBadSection:
        if (in_section) return std::nullopt;  // later sections of the same name do not count
        in_section = line.kind == LineKind::kSection && EqualsIgnoringAsciiCase(line.name, section);
        break;
      case LineKind::kEntry:
        if (in_section && EqualsIgnoringAsciiCase(line.name, key)) {
          return Unquote(text.substr(line.value_begin, line.value_end - line.value_begin));
        }
        break;
      default:
        break;
    }
  }
  return std::nullopt;
}

std::optional<std::string> SetIniValue(std::string_view text, std::string_view section,
                                       std::string_view key, std::string_view value) {
  if (text.starts_with(kUtf8Bom)) {
    std::optional<std::string> rest =
        SetIniValue(text.substr(kUtf8Bom.size()), section, key, value);
    if (rest) rest->insert(0, kUtf8Bom);
    return rest;
  }
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || key.empty() || HasLineBreakOrNul(section) || HasLineBreakOrNul(key) ||
      HasLineBreakOrNul(value) || key.find('=') != std::string_view::npos || key.front() == '[' ||
      key.front() == ';') {
    return std::nullopt;
  }
  const std::string_view line_ending = DetectLineEnding(text);

  LineReader reader(text);
  Line line;
  bool in_section = false;
  std::optional<std::size_t> insert_at;
  while (reader.Next(line)) {
    if (line.kind == LineKind::kSection || line.kind == LineKind::kBadSection) {
      if (in_section) break;
      if (line.kind == LineKind::kSection && EqualsIgnoringAsciiCase(line.name, section)) {
        in_section = true;
        insert_at = line.end;
      }
      continue;
    }
    if (!in_section) continue;
    if (line.kind == LineKind::kEntry && EqualsIgnoringAsciiCase(line.name, key)) {
      std::string result;
      result.reserve(text.size() + value.size());
      // The blanks after '=' stay unless the new value brings its own, so that writing the
      // value just read (blanks and all) changes nothing.
      const std::size_t begin =
          !value.empty() && IsBlank(value.front()) ? line.after_equals : line.value_begin;
      result.append(text.substr(0, begin));
      result.append(value);
      result.append(text.substr(line.field_end));
      return result;
    }
    // Trailing blank lines and comments usually belong to what follows, so the new key goes
    // before them, right after the section's last real line.
    if (line.kind == LineKind::kEntry || line.kind == LineKind::kOther) insert_at = line.end;
  }

  std::string result;
  result.reserve(text.size() + section.size() + key.size() + value.size() + 16);
  if (insert_at) {
    result.append(text.substr(0, *insert_at));
    if (text[*insert_at - 1] != '\n') result.append(line_ending);  // last line had no ending
    result.append(key).append("=").append(value).append(line_ending);
    result.append(text.substr(*insert_at));
    return result;
  }
  result.append(text);
  if (!text.empty()) {
    if (text.back() != '\n') result.append(line_ending);
    if (!LastLineIsBlank(text)) result.append(line_ending);
  }
  result.append("[").append(section).append("]").append(line_ending);
  result.append(key).append("=").append(value).append(line_ending);
  return result;
}

IniLookup LookUpIniValue(std::string_view section, std::string_view key, const std::string& file) {
  IniLookup lookup;
  std::string contents;
  struct stat info;
  switch (ReadWholeFile(file, contents, info)) {
    case ReadOutcome::kMissing:
      lookup.state = IniFileState::kMissing;
      return lookup;
    case ReadOutcome::kFailed:
      lookup.state = IniFileState::kUnreadable;
      return lookup;
    case ReadOutcome::kRead:
      break;
  }
  lookup.state = IniFileState::kRead;
  lookup.stamp = StampOf(info);
  if (const std::optional<std::string_view> value = FindIniValue(contents, section, key)) {
    lookup.value = std::string(value->substr(0, kMaxIniValueBytes));
  }
  return lookup;
}

std::vector<IniEntry> ListIniEntries(std::string_view text) {
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  std::vector<IniEntry> entries;
  std::vector<std::string> sections_seen;
  std::vector<std::string> keys_seen;  // of the current section, lower case
  const auto lower = [](std::string_view name) {
    std::string result(name);
    for (char& c : result) c = AsciiLower(c);
    return result;
  };
  LineReader reader(text);
  Line line;
  std::optional<std::string> section;
  bool reachable = false;
  while (reader.Next(line)) {
    if (line.kind == LineKind::kBadSection) {
      section = "";
      reachable = false;
    } else if (line.kind == LineKind::kSection) {
      section = std::string(line.name);
      const std::string name = lower(line.name);
      reachable =
          std::find(sections_seen.begin(), sections_seen.end(), name) == sections_seen.end();
      sections_seen.push_back(name);
      keys_seen.clear();
    } else if (line.kind == LineKind::kEntry && section) {
      const std::string key = lower(line.name);
      const bool first = std::find(keys_seen.begin(), keys_seen.end(), key) == keys_seen.end();
      keys_seen.push_back(key);
      entries.push_back(
          {*section, std::string(line.name),
           std::string(Unquote(text.substr(line.value_begin, line.value_end - line.value_begin))),
           reachable && first && !line.name.empty()});
    }
  }
  return entries;
}

IniFileState ReadIniText(const std::string& file, std::string& text) {
  struct stat info;
  switch (ReadWholeFile(file, text, info)) {
    case ReadOutcome::kMissing:
      return IniFileState::kMissing;
    case ReadOutcome::kFailed:
      return IniFileState::kUnreadable;
    case ReadOutcome::kRead:
      break;
  }
  return IniFileState::kRead;
}

std::string ReadIniString(std::string_view section, std::string_view key, const std::string& file) {
  return LookUpIniValue(section, key, file).value.value_or(std::string());
}

bool WriteIniString(std::string_view section, std::string_view key, std::string_view value,
                    const std::string& file, IniFileStamp* written) {
  if (file.empty()) return false;
  const std::string target = ResolveWriteTarget(file);
  std::string contents;
  struct stat info;
  const ReadOutcome outcome = ReadWholeFile(target, contents, info);
  if (outcome == ReadOutcome::kFailed) return false;
  const std::optional<std::string> updated = SetIniValue(contents, section, key, value);
  if (!updated) return false;
  IniFileStamp stamp;
  if (outcome == ReadOutcome::kRead && *updated == contents) {
    stamp = StampOf(info);
  } else if (!ReplaceFile(target, *updated, outcome == ReadOutcome::kRead ? &info : nullptr,
                          stamp)) {
    return false;
  }
  if (written != nullptr) *written = stamp;
  return true;
}

}  // namespace plotspool::platform
