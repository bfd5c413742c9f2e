// WhyNotCarried: the first character the code page lacks, named and numbered.
#include "core/wire_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/text_encoding.h"

namespace varnix {

namespace {

std::string Utf8Of(char32_t c) {
  std::string letter;
  if (c < 0x80) {
    letter += static_cast<char>(c);
  } else if (c < 0x800) {
    letter += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
  } else if (c < 0x10000) {
    letter += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
               static_cast<char>(0x80 | (c & 0x3F))};
  } else {
    letter += {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
               static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
  }
  return letter;
}

// The length of the UTF-8 character that starts with `lead`; 1 for a byte that starts none.
size_t CharacterBytes(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

}  // namespace

std::string WhyNotCarried(std::string_view text) {
  const std::optional<char32_t> lost = CharacterOutsideCodePage(text);
  if (!lost) return {};
  const char32_t c = *lost;
  const std::string letter = Utf8Of(c);
  char number[16];
  std::snprintf(number, sizeof number, "U+%04X", static_cast<unsigned>(c));
  return CodePageName() + " has no \"" + letter + "\" (" + number + ")";
}

std::string CarriedForm(std::string_view text) {
  if (!CharacterOutsideCodePage(text)) return std::string(text);
  std::string carried;
  for (size_t at = 0; at < text.size();) {
    const size_t bytes =
        std::min(CharacterBytes(static_cast<unsigned char>(text[at])), text.size() - at);
    const std::string_view one = text.substr(at, bytes);
    const std::optional<char32_t> lost = bytes > 1 ? CharacterOutsideCodePage(one) : std::nullopt;
    if (lost) {
      char number[16];
      std::snprintf(number, sizeof number, "\\u{%X}", static_cast<unsigned>(*lost));
      carried += number;
    } else {
      carried += one;
    }
    at += bytes;
  }
  return carried;
}

std::string FromCarriedForm(std::string_view text) {
  std::string plain;
  for (size_t at = 0; at < text.size();) {
    const size_t close =
        text.substr(at, 3) == "\\u{" ? text.find('}', at + 3) : std::string_view::npos;
    if (close != std::string_view::npos && close - at - 3 >= 2 && close - at - 3 <= 6) {
      const std::string digits(text.substr(at + 3, close - at - 3));
      char* end = nullptr;
      const unsigned long number = std::strtoul(digits.c_str(), &end, 16);
      const bool whole = end == digits.c_str() + digits.size() &&
                         digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
      if (whole && number >= 0x80 && number <= 0x10FFFF && (number < 0xD800 || number > 0xDFFF)) {
        plain += Utf8Of(static_cast<char32_t>(number));
        at = close + 1;
        continue;
      }
    }
    plain += text[at++];
  }
  return plain;
}

}  // namespace varnix
