#include "platform/ini_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/ini_file_io.h"

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
  IniFileStamp stamp;
  lookup.state = ReadIniFile(file, contents, stamp);
  if (lookup.state != IniFileState::kRead) return lookup;
  lookup.stamp = stamp;
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
  IniFileStamp stamp;
  return ReadIniFile(file, text, stamp);
}

std::string ReadIniString(std::string_view section, std::string_view key, const std::string& file) {
  return LookUpIniValue(section, key, file).value.value_or(std::string());
}

bool WriteIniString(std::string_view section, std::string_view key, std::string_view value,
                    const std::string& file, IniFileStamp* written) {
  if (file.empty()) return false;
  const std::string target = IniWriteTarget(file);
  std::string contents;
  IniFileStamp stamp;
  const IniFileState state = ReadIniFile(target, contents, stamp);
  if (state == IniFileState::kUnreadable) return false;
  const std::optional<std::string> updated = SetIniValue(contents, section, key, value);
  if (!updated) return false;
  if (state != IniFileState::kRead || *updated != contents) {
    if (!ReplaceIniFile(target, *updated, stamp)) return false;
  }
  if (written != nullptr) *written = stamp;
  return true;
}

}  // namespace plotspool::platform
