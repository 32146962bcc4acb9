#include "base/convert.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include "base/error.h"

namespace plotspool {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

template <typename Int>
Int RoundToInt(std::string_view text) {
  const double value = TextToDouble(text);
  // nearbyint follows the default rounding mode, which is round-half-to-even.
  const double rounded = std::nearbyint(value);
  if (rounded < static_cast<double>(std::numeric_limits<Int>::min()) ||
      rounded > static_cast<double>(std::numeric_limits<Int>::max())) {
    throw RuntimeError(kOverflow);
  }
  return static_cast<Int>(rounded);
}

}  // namespace

double TextToDouble(std::string_view text) {
  text = TrimBlanks(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  // from_chars accepts "inf" and "nan", which are no numbers in settings text.
  if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text.front())) ||
                        text.front() == '.' || text.front() == '-')) {
    throw RuntimeError(kTypeMismatch);
  }
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec == std::errc::result_out_of_range) throw RuntimeError(kOverflow);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    throw RuntimeError(kTypeMismatch);
  }
  return value;
}

int16_t TextToInt16(std::string_view text) { return RoundToInt<int16_t>(text); }

int32_t TextToInt32(std::string_view text) { return RoundToInt<int32_t>(text); }

bool TextToBool(std::string_view text) {
  const std::string_view trimmed = TrimBlanks(text);
  if (EqualsIgnoreCase(trimmed, "true")) return true;
  if (EqualsIgnoreCase(trimmed, "false")) return false;
  return TextToDouble(trimmed) != 0;
}

std::string NumberToText(double value) {
  char buffer[64];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  // The classic form writes the exponent in upper case and with at least two digits.
  if (const size_t e = text.find('e'); e != std::string::npos) text[e] = 'E';
  if (text == "-0") text = "0";
  return text;
}

std::string UpperCase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

std::string ToHex(int32_t value) {
  char buffer[16];
  const auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, static_cast<uint32_t>(value), 16);
  std::string text(buffer, end);
  for (char& c : text) {
    if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

}  // namespace plotspool
