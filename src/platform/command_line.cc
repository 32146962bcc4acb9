// The command-line rules of SplitCommandLine and QuoteCommandLineArgument: plain string work,
// the same on every system, so a line configured once splits the same everywhere.
#include <string>
#include <vector>

#include "platform/process.h"

namespace plotspool::platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& command_line) {
  std::vector<std::string> args;
  const std::size_t end = command_line.size();
  std::size_t p = 0;
  while (p < end && IsBlank(command_line[p])) ++p;
  if (p == end) return args;

  // The program name: quotes group, backslashes are plain path characters.
  std::string program;
  bool in_quotes = false;
  for (; p < end && (in_quotes || !IsBlank(command_line[p])); ++p) {
    if (command_line[p] == '"') {
      in_quotes = !in_quotes;
    } else {
      program += command_line[p];
    }
  }
  args.push_back(std::move(program));

  for (;;) {
    while (p < end && IsBlank(command_line[p])) ++p;
    if (p == end) break;
    std::string arg;
    in_quotes = false;
    for (;;) {
      std::size_t backslashes = 0;
      while (p < end && command_line[p] == '\\') {
        ++backslashes;
        ++p;
      }
      bool copy = true;
      if (p < end && command_line[p] == '"') {
        if (backslashes % 2 == 0) {
          if (in_quotes && p + 1 < end && command_line[p + 1] == '"') {
            ++p;  // "" inside quotes: one literal quote, still inside
          } else {
            copy = false;
            in_quotes = !in_quotes;
          }
        }
        backslashes /= 2;
      }
      arg.append(backslashes, '\\');
      if (p == end || (!in_quotes && IsBlank(command_line[p]))) break;
      if (copy) arg += command_line[p];
      ++p;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::string QuoteCommandLineArgument(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  for (std::size_t i = 0;; ++i) {
    std::size_t backslashes = 0;
    while (i < argument.size() && argument[i] == '\\') {
      ++backslashes;
      ++i;
    }
    if (i == argument.size()) {
      // Doubled, so that the closing quote stays a closing quote.
      quoted.append(backslashes * 2, '\\');
      break;
    }
    if (argument[i] == '"') {
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    quoted += argument[i];
  }
  quoted += '"';
  return quoted;
}

}  // namespace plotspool::platform
