// Text helpers shared by every part: ASCII letter case, space trimming, splitting.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace varnix {

// Letter case of ASCII letters only; other bytes pass unchanged.
std::string LowerCase(std::string_view text);
std::string UpperCase(std::string_view text);
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
bool ContainsIgnoringCase(std::string_view text, std::string_view fragment);

// Without the space characters at both ends; tabs stay.
std::string_view TrimSpaces(std::string_view text);

// At every `separator`: n separators give n + 1 parts.
std::vector<std::string> Split(std::string_view text, char separator);

// At line ends (LF or CR LF); a final line end adds no empty line.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace varnix
