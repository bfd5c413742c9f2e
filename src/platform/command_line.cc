// SplitCommandLine and its inverse: the rules of the Microsoft C runtime's argument parser.
#include "platform/command_line.h"

namespace varnix {

std::vector<std::string> SplitCommandLine(const std::string& text) {
  std::vector<std::string> arguments;
  std::string current;
  bool in_argument = false;
  bool quoted = false;
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    if ((c == ' ' || c == '\t') && !quoted) {
      if (in_argument) arguments.push_back(current);
      current.clear();
      in_argument = false;
      ++i;
      continue;
    }
    in_argument = true;
    if (c == '\\') {
      size_t count = 0;
      while (i < text.size() && text[i] == '\\') {
        ++count;
        ++i;
      }
      if (i < text.size() && text[i] == '"') {
        current.append(count / 2, '\\');
        if (count % 2 == 1) {
          current += '"';
          ++i;
        }
      } else {
        current.append(count, '\\');
      }
      continue;
    }
    if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        current += '"';
        i += 2;
        continue;
      }
      quoted = !quoted;
      ++i;
      continue;
    }
    current += c;
    ++i;
  }
  if (in_argument) arguments.push_back(current);
  return arguments;
}

std::string JoinCommandLine(const std::vector<std::string>& arguments) {
  std::string text;
  for (size_t n = 0; n < arguments.size(); ++n) {
    const std::string& argument = arguments[n];
    if (n > 0) text += ' ';
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
      text += argument;
      continue;
    }
    // Quoted: backslashes count only before a quote, so only those are doubled.
    text += '"';
    size_t backslashes = 0;
    for (const char c : argument) {
      if (c == '\\') {
        ++backslashes;
        continue;
      }
      text.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
      text += c;
      backslashes = 0;
    }
    text.append(backslashes * 2, '\\');
    text += '"';
  }
  return text;
}

}  // namespace varnix
