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

// Ctrl-Z too: old DOS editors end a file with it.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\x1A';
}

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

enum class LineKind { kBlank, kComment, kSection, kEntry, kOther };

struct Line {
  LineKind kind = LineKind::kBlank;
  std::size_t end = 0;  // just past the line's terminator (or the text's end)
  // Section name or entry key, trimmed. A line without '=' is a key without a value.
  std::string_view name;
  // Entries, and comments that hold '=': a lookup finds those too, under their key with ';'.
  bool has_value = false;
  // Offsets into the text. The value field runs from after '=' to the line's end (its
  // terminator excluded); the value proper is that field trimmed.
  std::size_t after_equals = 0;
  std::size_t value_begin = 0;  // first non-blank of the field, or the field's end
  std::size_t value_end = 0;
  std::size_t field_end = 0;
};

// A line ends at LF, CR LF or a lone CR (files edited on old Macs, or half converted).
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool Next(Line& line) {
    if (pos_ >= text_.size()) return false;
    const std::size_t begin = pos_;
    const std::size_t content_end = FindLineEnd(begin);
    pos_ = content_end;
    if (pos_ < text_.size() && text_[pos_++] == '\r' && pos_ < text_.size() &&
        text_[pos_] == '\n') {
      ++pos_;
    }
    line = Line{};
    line.end = pos_;
    line.field_end = content_end;
    Classify(begin, content_end, line);
    return true;
  }

 private:
  void Classify(std::size_t begin, std::size_t end, Line& line) const {
    const std::string_view content = Trim(text_.substr(begin, end - begin));
    if (content.empty()) {
      line.kind = LineKind::kBlank;
      return;
    }
    // The last ']' closes the name, so names holding ']' (directory names may) round-trip. A
    // '[' line without one is no section line: it is read like any other line.
    if (content.front() == '[') {
      if (const std::size_t close = content.rfind(']'); close != std::string_view::npos) {
        line.kind = LineKind::kSection;
        line.name = Trim(content.substr(1, close - 1));
        return;
      }
    }
    const std::size_t equals = content.find('=');
    if (content.front() == ';') {
      line.kind = LineKind::kComment;
    } else if (equals != std::string_view::npos) {
      line.kind = LineKind::kEntry;
    } else {
      line.kind = LineKind::kOther;
    }
    if (equals != std::string_view::npos) {
      line.has_value = true;
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
      line.name = content;
    }
  }

  // The first CR or LF from `begin`, or the text's end. A settings file is read whole for every
  // value and may be large, so both are found with memchr, and the next LF is remembered: a file
  // of CR line ends would otherwise be scanned to its end once per line.
  std::size_t FindLineEnd(std::size_t begin) {
    if (next_newline_ == std::string_view::npos || next_newline_ < begin) {
      const void* newline = std::memchr(text_.data() + begin, '\n', text_.size() - begin);
      next_newline_ =
          newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - text_.data())
                  : text_.size();
    }
    const void* carriage_return = std::memchr(text_.data() + begin, '\r', next_newline_ - begin);
    return carriage_return
               ? static_cast<std::size_t>(static_cast<const char*>(carriage_return) - text_.data())
               : next_newline_;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t next_newline_ = std::string_view::npos;  // not looked for yet
};

// Double or single quotes, alike at both ends.
std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos;
}

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

// The ending of the text's first line.
std::string_view DetectLineEnding(std::string_view text) {
  const std::size_t end = text.find_first_of("\r\n");
  if (end == std::string_view::npos || text[end] == '\n') return "\n";
  return end + 1 < text.size() && text[end + 1] == '\n' ? "\r\n" : "\r";
}

bool LastLineIsBlank(std::string_view text) {
  // Without its own ending, the last line is what follows the ending before.
  if (text.ends_with("\r\n")) {
    text.remove_suffix(2);
  } else if (!text.empty() && IsLineEnd(text.back())) {
    text.remove_suffix(1);
  }
  const std::size_t end = text.find_last_of("\r\n");
  const std::string_view last = end == std::string_view::npos ? text : text.substr(end + 1);
  return Trim(last).empty();
}

// ---------------------------------------------------------------------------------------------
// UTF-16 files: a byte-order mark FF FE or FE FF, as Notepad saves "Unicode". The parser reads
// them as UTF-8 and writes go back in UTF-16.

enum class Utf16 { kNone, kLittleEndian, kBigEndian };

Utf16 Utf16Of(std::string_view contents) {
  if (contents.starts_with("\xFF\xFE")) return Utf16::kLittleEndian;
  if (contents.starts_with("\xFE\xFF")) return Utf16::kBigEndian;
  return Utf16::kNone;
}

void AppendUtf8(std::uint32_t code, std::string& text) {
  const auto put = [&](std::uint32_t byte) { text += static_cast<char>(byte); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | code >> 6);
    put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    put(0xE0 | code >> 12);
    put(0x80 | (code >> 6 & 0x3F));
    put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | code >> 18);
    put(0x80 | (code >> 12 & 0x3F));
    put(0x80 | (code >> 6 & 0x3F));
    put(0x80 | (code & 0x3F));
  }
}

// The units after the byte-order mark as UTF-8. A surrogate without its partner keeps its own
// three-byte form, so that a write restores it; an odd last byte is left out.
std::string Utf16ToUtf8(std::string_view contents, Utf16 order) {
  const auto unit = [&](std::size_t i) -> std::uint32_t {
    const auto first = static_cast<unsigned char>(contents[i]);
    const auto second = static_cast<unsigned char>(contents[i + 1]);
    return order == Utf16::kBigEndian ? first << 8 | second : second << 8 | first;
  };
  std::string text;
  text.reserve(contents.size());
  for (std::size_t i = 2; i + 1 < contents.size(); i += 2) {
    std::uint32_t code = unit(i);
    if (code >= 0xD800 && code < 0xDC00 && i + 3 < contents.size()) {
      const std::uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    AppendUtf8(code, text);
  }
  return text;
}

// `text` as UTF-16 with its byte-order mark; nullopt when it is no UTF-8 (a value of other bytes,
// which such a file cannot hold).
std::optional<std::string> Utf8ToUtf16(std::string_view text, Utf16 order) {
  std::string contents = order == Utf16::kBigEndian ? "\xFE\xFF" : "\xFF\xFE";
  contents.reserve(2 + 2 * text.size());
  const auto put = [&](std::uint32_t unit) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    contents += order == Utf16::kBigEndian ? high : low;
    contents += order == Utf16::kBigEndian ? low : high;
  };
  static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80             ? 1
                               : (lead & 0xE0) == 0xC0 ? 2
                               : (lead & 0xF0) == 0xE0 ? 3
                               : (lead & 0xF8) == 0xF0 ? 4
                                                       : 0;
    if (length == 0 || i + length > text.size()) return std::nullopt;
    std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      code = code << 6 | (next & 0x3F);
    }
    // An overlong form would not come back as the same bytes.
    if (code < kSmallest[length] || code > 0x10FFFF) return std::nullopt;
    if (code >= 0x10000) {
      put(0xD800 + ((code - 0x10000) >> 10));
      put(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      put(code);
    }
    i += length;
  }
  return contents;
}

// The file's bytes as the parser reads them.
void DecodeText(std::string& contents) {
  if (const Utf16 order = Utf16Of(contents); order != Utf16::kNone) {
    contents = Utf16ToUtf8(contents, order);
  }
}

}  // namespace

std::optional<std::string_view> FindIniValue(std::string_view text, std::string_view section,
                                             std::string_view key) {
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  section = Trim(section);
  key = Trim(key);
  if (key.empty()) return std::nullopt;
  LineReader reader(text);
  Line line;
  // The lines before the first section line form the section with the empty name.
  bool in_section = section.empty();
  while (reader.Next(line)) {
    if (line.kind == LineKind::kSection) {
      if (in_section) return std::nullopt;  // later sections of the same name do not count
      in_section = EqualsIgnoringAsciiCase(line.name, section);
    } else if (in_section && EqualsIgnoringAsciiCase(line.name, key)) {
      // A key without '=' has no value, and later entries of its name do not count.
      if (!line.has_value) return std::nullopt;
      return Unquote(text.substr(line.value_begin, line.value_end - line.value_begin));
    }
  }
  return std::nullopt;
}

namespace {

// SetIniValue on the text after its byte-order mark.
std::optional<std::string> SetInText(std::string_view text, std::string_view section,
                                     std::string_view key, std::string_view value) {
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
    if (line.kind == LineKind::kSection) {
      if (in_section) break;
      if (EqualsIgnoringAsciiCase(line.name, section)) {
        in_section = true;
        insert_at = line.end;
      }
      continue;
    }
    if (!in_section) continue;
    // The key without '=' that a read finds first gets its value there.
    if (line.kind == LineKind::kOther && EqualsIgnoringAsciiCase(line.name, key)) {
      std::string result(text.substr(0, line.field_end));
      result.append("=").append(value).append(text.substr(line.field_end));
      return result;
    }
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
    if (!IsLineEnd(text[*insert_at - 1])) result.append(line_ending);  // last line had no ending
    result.append(key).append("=").append(value).append(line_ending);
    result.append(text.substr(*insert_at));
    return result;
  }
  result.append(text);
  if (!text.empty()) {
    if (!IsLineEnd(text.back())) result.append(line_ending);
    if (!LastLineIsBlank(text)) result.append(line_ending);
  }
  result.append("[").append(section).append("]").append(line_ending);
  result.append(key).append("=").append(value).append(line_ending);
  return result;
}

}  // namespace

// Only one mark is skipped, as reads skip one: a second is text of the first line.
std::optional<std::string> SetIniValue(std::string_view text, std::string_view section,
                                       std::string_view key, std::string_view value) {
  if (!text.starts_with(kUtf8Bom)) return SetInText(text, section, key, value);
  std::optional<std::string> rest = SetInText(text.substr(kUtf8Bom.size()), section, key, value);
  if (rest) rest->insert(0, kUtf8Bom);
  return rest;
}

IniLookup LookUpIniValue(std::string_view section, std::string_view key, const std::string& file) {
  IniLookup lookup;
  std::string contents;
  IniFileStamp stamp;
  lookup.state = ReadIniFile(file, contents, stamp);
  if (lookup.state != IniFileState::kRead) return lookup;
  lookup.stamp = stamp;
  DecodeText(contents);
  if (const std::optional<std::string_view> value = FindIniValue(contents, section, key)) {
    lookup.value = std::string(value->substr(0, kMaxIniValueBytes));
  }
  return lookup;
}

std::vector<IniEntry> ListIniEntries(std::string_view text) {
  if (text.starts_with(kUtf8Bom)) text.remove_prefix(kUtf8Bom.size());
  std::vector<IniEntry> entries;
  // The nameless section before the first section line comes first, so "[]" is never read.
  std::vector<std::string> sections_seen = {""};
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
    if (line.kind == LineKind::kSection) {
      section = std::string(line.name);
      const std::string name = lower(line.name);
      reachable =
          std::find(sections_seen.begin(), sections_seen.end(), name) == sections_seen.end();
      sections_seen.push_back(name);
      keys_seen.clear();
    } else if (line.kind == LineKind::kOther && section) {
      keys_seen.push_back(lower(line.name));  // a key without a value hides later ones
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
  const IniFileState state = ReadIniFile(file, text, stamp);
  if (state == IniFileState::kRead) DecodeText(text);
  return state;
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
  const Utf16 order = Utf16Of(contents);
  // An odd byte at the end of a UTF-16 file would be lost.
  if (order != Utf16::kNone && contents.size() % 2 != 0) return false;
  std::string text = std::move(contents);
  DecodeText(text);
  const std::optional<std::string> updated = SetIniValue(text, section, key, value);
  if (!updated) return false;
  if (state != IniFileState::kRead || *updated != text) {
    const std::optional<std::string> bytes =
        order == Utf16::kNone ? updated : Utf8ToUtf16(*updated, order);
    if (!bytes || !ReplaceIniFile(target, *bytes, stamp)) return false;
  }
  if (written != nullptr) *written = stamp;
  return true;
}

}  // namespace plotspool::platform
