// Text helpers shared by every part: ASCII letter case, space trimming, splitting.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
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
namespace text_internal {

inline uint64_t Load8(const char* data) {
  uint64_t word;
  std::memcpy(&word, data, 8);
  return word;
}

// A text of fewer than eight bytes in one word, without a loop: two texts of one length are
// equal exactly when their words are. The loads may overlap; together they cover every byte.
inline uint64_t ShortWord(const char* data, std::size_t size) {
  if (size >= 4) {
    uint32_t low;
    uint32_t high;
    std::memcpy(&low, data, 4);
    std::memcpy(&high, data + size - 4, 4);
    return low | (uint64_t{high} << 32);
  }
  if (size == 0) return 0;
  const auto byte = [&](std::size_t i) { return uint64_t{static_cast<unsigned char>(data[i])}; };
  return byte(0) | (byte(size / 2) << 8) | (byte(size - 1) << 16);
}

// LowerAscii on eight bytes at once. Each byte's low seven bits plus a bias stay below 0x100,
// so no carry crosses into the next byte; a byte of 0x80 or more is never a letter.
inline uint64_t LowerAsciiWord(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  const uint64_t low_bits = word & (kOnes * 0x7F);
  const uint64_t from_a = low_bits + kOnes * (0x80 - 'A');      // high bit: at least 'A'
  const uint64_t past_z = low_bits + kOnes * (0x80 - 'Z' - 1);  // high bit: beyond 'Z'
  const uint64_t upper = (from_a ^ past_z) & ~word & (kOnes * 0x80);
  return word | (upper >> 2);  // 0x80 >> 2 is the case bit
}

// True when two texts of `size` bytes are equal once `fold` has been applied to each word of
// both; the last word overlaps the one before it rather than ending in a loop of bytes.
template <typename FoldA, typename FoldB>
bool EqualWords(const char* a, const char* b, std::size_t size, FoldA fold_a, FoldB fold_b) {
  if (size < 8) return fold_a(ShortWord(a, size)) == fold_b(ShortWord(b, size));
  for (std::size_t i = 0; i + 8 < size; i += 8) {
    if (fold_a(Load8(a + i)) != fold_b(Load8(b + i))) return false;
  }
  return fold_a(Load8(a + size - 8)) == fold_b(Load8(b + size - 8));
}

}  // namespace text_internal

// Inline, and eight bytes at a time: the parser compares every key it reads this way.
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  using namespace text_internal;
  // A lambda, not the function's name: a function pointer would keep the words' loop out of line.
  const auto lower = [](uint64_t word) { return LowerAsciiWord(word); };
  return a.size() == b.size() && EqualWords(a.data(), b.data(), a.size(), lower, lower);
}
// EqualsIgnoringCase against a text already in lower case, such as a literal: half the work.
inline bool EqualsLowered(std::string_view text, std::string_view lower) {
  using namespace text_internal;
  return text.size() == lower.size() && EqualWords(
                                            text.data(), lower.data(), lower.size(),
                                            [](uint64_t word) { return LowerAsciiWord(word); },
                                            [](uint64_t word) { return word; });
}
bool ContainsIgnoringCase(std::string_view text, std::string_view fragment);

// Below a space, or DEL: bytes that would end a line, a field or an item, or steer a terminal.
inline bool IsControlByte(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

// The length of the well-formed UTF-8 character at the start of `text`; 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF, or cut short).
size_t Utf8Length(std::string_view text);
// Whether `character` (one whole UTF-8 character) is a C1 control, U+0080 to U+009F.
bool IsC1Control(std::string_view character);
// Whether `character` (one whole UTF-8 character) turns the direction of text about: U+202A to
// U+202E and U+2066 to U+2069.
bool IsBidiControl(std::string_view character);
// `text` as it may reach a terminal or a log: C0 controls and DEL as "\x1b", C1 controls as
// "\u009b" (or "\x9b" where a raw byte stands alone), which 8-bit terminals would obey, and the
// direction controls as "\u202e"; cut after about `max_bytes`, saying how many bytes were left
// out.
std::string ShownSafely(std::string_view text, size_t max_bytes = SIZE_MAX);

// The text of a file as an editor may have saved it (Notepad among them): UTF-8 with or without
// its mark, UTF-16 little- or big-endian with its mark, and otherwise the code page, which
// `from_code_page` reads. UTF-8 comes out; nothing when the file is none of these (UTF-16 cut
// short or with a lone surrogate).
std::optional<std::string> TextOfFile(
    std::string bytes, const std::function<std::string(std::string)>& from_code_page);

// The first `most` bytes of `text`, or fewer: a cut never splits a UTF-8 character in two.
inline std::string_view CutAtCharacter(std::string_view text, std::size_t most) {
  if (text.size() <= most) return text;
  std::size_t end = most;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// Without the space characters at both ends; tabs stay.
inline std::string_view TrimSpaces(std::string_view text) {
  // Most texts have no space at either end: two looks, no loop.
  if (text.empty() || (text.front() != ' ' && text.back() != ' ')) return text;
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && text[first] == ' ') ++first;
  while (last > first && text[last - 1] == ' ') --last;
  return text.substr(first, last - first);
}

// The number that `text` writes in decimal digits alone (no sign, no spaces), or nothing.
std::optional<uint64_t> WholeNumber(std::string_view text);

// At every `separator`: n separators give n + 1 parts.
std::vector<std::string> Split(std::string_view text, char separator);

// At line ends (LF or CR LF); a final line end adds no empty line.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace varnix
