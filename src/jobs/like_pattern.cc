#include "jobs/like_pattern.h"

#include <bitset>
#include <optional>
#include <vector>

namespace plotspool {
namespace {

// Every token but the star matches exactly one character, which is what keeps the matcher
// linear in backtracking: only the most recent star ever needs to be revisited.
struct Token {
  enum Kind { kStar, kOneOf } kind = kOneOf;
  std::bitset<256> chars;  // for kOneOf: the characters this token accepts
};

std::optional<std::vector<Token>> Compile(std::string_view pattern) {
  std::vector<Token> tokens;
  for (size_t i = 0; i < pattern.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(pattern[i]);
    Token token;
    if (c == '*') {
      // Consecutive stars mean the same as one.
      if (!tokens.empty() && tokens.back().kind == Token::kStar) continue;
      token.kind = Token::kStar;
    } else if (c == '?') {
      token.chars.set();
    } else if (c == '#') {
      for (char d = '0'; d <= '9'; ++d) token.chars.set(static_cast<unsigned char>(d));
    } else if (c == '[') {
      const size_t close = pattern.find(']', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      std::string_view list = pattern.substr(i + 1, close - i - 1);
      i = close;
      if (list.empty()) continue;  // "[]" stands for the empty string
      const bool negate = list.front() == '!';
      if (negate) list.remove_prefix(1);
      for (size_t k = 0; k < list.size(); ++k) {
        const unsigned char low = static_cast<unsigned char>(list[k]);
        // A "-" between two characters makes a range; at either end of the list it is itself.
        if (k + 2 < list.size() && list[k + 1] == '-') {
          const unsigned char high = static_cast<unsigned char>(list[k + 2]);
          if (high < low) return std::nullopt;
          for (unsigned v = low; v <= high; ++v) token.chars.set(v);
          k += 2;
        } else {
          token.chars.set(low);
        }
      }
      if (negate) token.chars.flip();
    } else {
      token.chars.set(c);
    }
    tokens.push_back(token);
  }
  return tokens;
}

}  // namespace

bool LikeMatch(std::string_view text, std::string_view pattern) {
  const std::optional<std::vector<Token>> compiled = Compile(pattern);
  if (!compiled) return false;
  const std::vector<Token>& tokens = *compiled;

  size_t t = 0;                // position in text
  size_t p = 0;                // position in tokens
  std::optional<size_t> star;  // token index just after the last star seen
  size_t star_text = 0;        // text position that star currently stops at
  while (t < text.size()) {
    if (p < tokens.size() && tokens[p].kind == Token::kStar) {
      star = ++p;
      star_text = t;
    } else if (p < tokens.size() && tokens[p].chars.test(static_cast<unsigned char>(text[t]))) {
      ++p;
      ++t;
    } else if (star) {
      // Let the last star swallow one more character and retry what follows it.
      p = *star;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < tokens.size() && tokens[p].kind == Token::kStar) ++p;
  return p == tokens.size();
}

}  // namespace plotspool
