// WhyNotCarried: the first character the code page lacks, named and numbered.
#include "core/wire_text.h"

#include <cstdio>

#include "platform/text_encoding.h"

namespace varnix {

std::string WhyNotCarried(std::string_view text) {
  const std::optional<char32_t> lost = CharacterOutsideCodePage(text);
  if (!lost) return {};
  const char32_t c = *lost;
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
  char number[16];
  std::snprintf(number, sizeof number, "U+%04X", static_cast<unsigned>(c));
  return CodePageName() + " has no \"" + letter + "\" (" + number + ")";
}

}  // namespace varnix
