// The shared text helpers.
#include "core/text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace varnix {
std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

std::string UpperCase(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

bool ContainsIgnoringCase(std::string_view text, std::string_view fragment) {
  return std::search(text.begin(), text.end(), fragment.begin(), fragment.end(),
                     [](char x, char y) { return LowerAscii(x) == LowerAscii(y); }) != text.end();
}

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (auto at = text.find(separator); at != std::string_view::npos;
       at = text.find(separator, start)) {
    parts.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
  parts.emplace_back(text.substr(start));
  return parts;
}

std::optional<uint64_t> WholeNumber(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// The length of the well-formed UTF-8 character at the start of `text`; 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, or cut short).
size_t Utf8Length(std::string_view text) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  }
  return length;
}

bool IsC1Control(std::string_view character) {
  return character.size() == 2 && static_cast<unsigned char>(character[0]) == 0xC2 &&
         static_cast<unsigned char>(character[1]) <= 0x9F;
}

namespace {

// The code point of one UTF-8 character of two or three bytes; 0 for any other.
unsigned CodePointOf(std::string_view character) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(character[i]) & 0x3Fu; };
  if (character.size() == 2)
    return ((static_cast<unsigned char>(character[0]) & 0x1Fu) << 6) | byte(1);
  if (character.size() == 3) {
    return ((static_cast<unsigned char>(character[0]) & 0x0Fu) << 12) | (byte(1) << 6) | byte(2);
  }
  return 0;
}

}  // namespace

bool IsBidiControl(std::string_view character) {
  // Every formatting character of the bidirectional algorithm: the marks (ALM, LRM, RLM), the
  // embeddings and overrides, and the isolates.
  const unsigned code = CodePointOf(character);
  return code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

namespace {

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::optional<std::string> FromUtf16(std::string_view bytes, bool big_endian) {
  if (bytes.size() % 2 != 0) return std::nullopt;
  const auto unit = [&](size_t i) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    return static_cast<uint32_t>(big_endian ? first << 8 | second : second << 8 | first);
  };
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t code = unit(i);
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return std::nullopt;
      const uint32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return std::nullopt;
    }
    AppendUtf8(out, code);
  }
  return out;
}

}  // namespace

std::optional<std::string> TextOfFile(
    std::string bytes, const std::function<std::string(std::string)>& from_code_page) {
  constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
  if (bytes.rfind(kUtf8Mark, 0) == 0) return bytes.substr(kUtf8Mark.size());
  if (bytes.rfind("\xFF\xFE", 0) == 0) return FromUtf16(std::string_view(bytes).substr(2), false);
  if (bytes.rfind("\xFE\xFF", 0) == 0) return FromUtf16(std::string_view(bytes).substr(2), true);
  // Text in a code page is almost never valid UTF-8 once it holds a letter beyond ASCII.
  for (size_t at = 0; at < bytes.size();) {
    const size_t length = static_cast<unsigned char>(bytes[at]) < 0x80
                              ? 1
                              : Utf8Length(std::string_view(bytes).substr(at));
    if (length == 0) return from_code_page(std::move(bytes));
    at += length;
  }
  return bytes;
}

std::string ShownSafely(std::string_view text, size_t max_bytes) {
  std::string out;
  out.reserve(std::min(text.size(), max_bytes));
  const auto escape = [&](const char* form, unsigned char byte) {
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, form, byte);
    out += escaped;
  };
  size_t at = 0;
  while (at < text.size() && out.size() < max_bytes) {
    const std::string_view rest = text.substr(at);
    const size_t length = Utf8Length(rest);
    const auto byte = static_cast<unsigned char>(rest[0]);
    if (IsControlByte(rest[0])) {
      escape("\\x%02x", byte);
    } else if (IsC1Control(rest.substr(0, length))) {
      escape("\\u%04x", static_cast<unsigned char>(rest[1]));
    } else if (IsBidiControl(rest.substr(0, length))) {
      // Shown as "\u202e": obeyed, it would show "EVIL\u202etxt.exe" as "EVILexe.txt".
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", CodePointOf(rest.substr(0, length)));
      out += escaped;
    } else if (length == 0 && byte >= 0x80 && byte <= 0x9F) {
      escape("\\x%02x", byte);  // a raw C1 control, outside any UTF-8 character
    } else {
      out.append(rest.substr(0, std::max<size_t>(length, 1)));
    }
    at += std::max<size_t>(length, 1);
  }
  if (at < text.size()) out += "... (" + std::to_string(text.size() - at) + " bytes more)";
  return out;
}

}  // namespace varnix
