// Text helpers shared by every part: ASCII letter case, space trimming, splitting.
#pragma once

#include <cstdint>
#include <cstring>
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

// Up to eight bytes of `data` in one word; the bytes past `size` are zero.
inline uint64_t Word(const char* data, std::size_t size) {
  uint64_t word = 0;
  if (size >= 8) {
    std::memcpy(&word, data, 8);
  } else {
    // A copy of a variable length would be a library call.
    for (std::size_t i = 0; i < size; ++i) {
      word |= uint64_t{static_cast<unsigned char>(data[i])} << (8 * i);
    }
  }
  return word;
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

}  // namespace text_internal

// Inline, and eight bytes at a time: the parser compares every key it reads this way.
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  using namespace text_internal;
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); i += 8) {
    const std::size_t n = a.size() - i;
    if (LowerAsciiWord(Word(a.data() + i, n)) != LowerAsciiWord(Word(b.data() + i, n))) {
      return false;
    }
  }
  return true;
}
// EqualsIgnoringCase against a text already in lower case, such as a literal: half the work.
inline bool EqualsLowered(std::string_view text, std::string_view lower) {
  using namespace text_internal;
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); i += 8) {
    const std::size_t n = text.size() - i;
    if (LowerAsciiWord(Word(text.data() + i, n)) != Word(lower.data() + i, n)) return false;
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
