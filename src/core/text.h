// Text helpers shared by every part: ASCII letter case, space trimming, splitting.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varnix {

// Letter case of ASCII letters only; other bytes pass unchanged.
inline char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string LowerCase(std::string_view text);
std::string UpperCase(std::string_view text);
// Inline: the parser compares every key it reads this way.
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}
// EqualsIgnoringCase against a text already in lower case, such as a literal: half the work.
inline bool EqualsLowered(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (LowerAscii(text[i]) != lower[i]) return false;
  }
  return true;
}
bool ContainsIgnoringCase(std::string_view text, std::string_view fragment);

// Without the space characters at both ends; tabs stay.
inline std::string_view TrimSpaces(std::string_view text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && text[first] == ' ') ++first;
  while (last > first && text[last - 1] == ' ') --last;
  return text.substr(first, last - first);
}

// At every `separator`: n separators give n + 1 parts.
std::vector<std::string> Split(std::string_view text, char separator);

// At line ends (LF or CR LF); a final line end adds no empty line.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace varnix
