// Feeds arbitrary settings text and arbitrary names and values to the INI parser and writer, and
// checks what callers rely on: a write reads back, leaves other settings alone, changes bytes of
// one line at most, and writing the same again changes nothing.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ini_file.h"

namespace {

using plotspool::platform::FindIniValue;
using plotspool::platform::SetIniValue;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' || c == '\x1A';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

bool SameName(std::string_view a, std::string_view b) {
  a = Trim(a);
  b = Trim(b);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const std::string section = provider.ConsumeRandomLengthString(40);
  const std::string key = provider.ConsumeRandomLengthString(40);
  const std::string value = provider.ConsumeRandomLengthString(300);
  const std::string other_section = provider.ConsumeRandomLengthString(40);
  const std::string other_key = provider.ConsumeRandomLengthString(40);
  const std::string text = provider.ConsumeRemainingBytesAsString();

  const auto other_before = FindIniValue(text, other_section, other_key);
  const auto updated = SetIniValue(text, section, key, value);
  if (!updated) return 0;

  const auto read_back = FindIniValue(*updated, section, key);
  Check(read_back && *read_back == Unquote(Trim(value)));
  if (!(SameName(section, other_section) && SameName(key, other_key))) {
    Check(FindIniValue(*updated, other_section, other_key) == other_before);
  }
  Check(SetIniValue(*updated, section, key, value) == updated);

  // Apart from one inserted run, only bytes within one line may differ.
  std::size_t prefix = 0;
  while (prefix < text.size() && prefix < updated->size() && text[prefix] == (*updated)[prefix]) {
    ++prefix;
  }
  std::size_t suffix = 0;
  while (suffix < text.size() - prefix && suffix < updated->size() - prefix &&
         text[text.size() - 1 - suffix] == (*updated)[updated->size() - 1 - suffix]) {
    ++suffix;
  }
  Check(text.substr(prefix, text.size() - prefix - suffix).find_first_of("\r\n") ==
        std::string::npos);
  return 0;
}
