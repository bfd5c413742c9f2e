// ComputerOf: which names the gateway takes for computers, and which it refuses as look-alikes.
#include "gateway/computer_name.h"

#include <optional>

#include "core/text.h"

namespace varnix {
namespace {

// The code point of one whole, well-formed UTF-8 character.
uint32_t CodePoint(std::string_view character) {
  const auto byte = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(character[i]));
  };
  switch (character.size()) {
    case 1:
      return byte(0);
    case 2:
      return (byte(0) & 0x1Fu) << 6 | (byte(1) & 0x3Fu);
    case 3:
      return (byte(0) & 0x0Fu) << 12 | (byte(1) & 0x3Fu) << 6 | (byte(2) & 0x3Fu);
    default:
      return (byte(0) & 0x07u) << 18 | (byte(1) & 0x3Fu) << 12 | (byte(2) & 0x3Fu) << 6 |
             (byte(3) & 0x3Fu);
  }
}

struct Range {
  uint32_t first;
  uint32_t last;
};

// What may not stand in a name, though some of it is called a letter: controls, spaces,
// punctuation, combining marks (a name typed on a keyboard comes precomposed), and the code
// points that show as nothing or as a blank (the default-ignorable ones, Hangul fillers, tags).
constexpr Range kRefused[] = {
    {0x0080, 0x00BF}, {0x00D7, 0x00D7},   {0x00F7, 0x00F7},   {0x0300, 0x036F},   {0x0483, 0x0489},
    {0x0591, 0x05C7}, {0x0610, 0x061C},   {0x064B, 0x065F},   {0x115F, 0x1160},   {0x17B4, 0x17B5},
    {0x180B, 0x180F}, {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x2000, 0x206F},   {0x20D0, 0x20FF},
    {0x3000, 0x303F}, {0x3164, 0x3164},   {0xFE00, 0xFE2F},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},
    {0xFFF0, 0xFFFF}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF},
};

// The scripts whose letters look like another's; a name keeps to one of them. A script not
// listed is told apart by its block.
enum Script : uint32_t { kNone, kLatin, kGreek, kCyrillic, kArmenian, kHebrew, kArabic, kHan };
constexpr struct {
  Range range;
  Script script;
} kScripts[] = {
    {{'A', 'Z'}, kLatin},
    {{'a', 'z'}, kLatin},
    {{0x00C0, 0x024F}, kLatin},
    {{0x1E00, 0x1EFF}, kLatin},
    {{0x2C60, 0x2C7F}, kLatin},
    {{0xA720, 0xA7FF}, kLatin},
    {{0xAB30, 0xAB6F}, kLatin},
    {{0xFF21, 0xFF3A}, kLatin},
    {{0xFF41, 0xFF5A}, kLatin},
    {{0x0250, 0x02AF}, kLatin},
    {{0x0370, 0x03FF}, kGreek},
    {{0x1F00, 0x1FFF}, kGreek},
    {{0x0400, 0x052F}, kCyrillic},
    {{0x1C80, 0x1C8F}, kCyrillic},
    {{0x2DE0, 0x2DFF}, kCyrillic},
    {{0xA640, 0xA69F}, kCyrillic},
    {{0x0530, 0x058F}, kArmenian},
    {{0x0590, 0x05FF}, kHebrew},
    {{0x0600, 0x06FF}, kArabic},
    {{0x0750, 0x077F}, kArabic},
    {{0x08A0, 0x08FF}, kArabic},
    // Japanese and Korean names mix these by nature.
    {{0x3040, 0x30FF}, kHan},
    {{0x3400, 0x4DBF}, kHan},
    {{0x4E00, 0x9FFF}, kHan},
    {{0xAC00, 0xD7AF}, kHan},
    {{0x1100, 0x11FF}, kHan},
    {{0x3130, 0x318F}, kHan},
};

// The script of a character that may stand in a computer's name: kNone for digits, "-" and
// "_", which go with any; nullopt for what may not stand in one.
std::optional<uint32_t> NameScript(std::string_view character) {
  const uint32_t code = CodePoint(character);
  if (code < 0x80) {
    if ((code >= '0' && code <= '9') || code == '-' || code == '_') return kNone;
    if ((code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z')) return kLatin;
    return std::nullopt;
  }
  for (const Range& refused : kRefused) {
    if (code >= refused.first && code <= refused.last) return std::nullopt;
  }
  for (const auto& [range, script] : kScripts) {
    if (code >= range.first && code <= range.last) return script;
  }
  return 0x1000 + (code >> 7);
}

}  // namespace

bool IsNodeSource(std::string_view source) {
  return source.size() >= kNodePrefix.size() &&
         EqualsLowered(source.substr(0, kNodePrefix.size()), kNodePrefix);
}

std::string ComputerOf(const std::string& source) {
  if (source.size() <= kNodePrefix.size() || !IsNodeSource(source)) return "";
  // A sub-address (":...") names a part of the node, not another computer.
  std::string_view name = std::string_view(source).substr(kNodePrefix.size());
  name = name.substr(0, name.find(':'));
  if (name.empty()) return "";
  // Letters of one script only, so that no name can pass for another ("officepc" with a
  // Cyrillic "с" looks like the Latin one and would be a second device).
  size_t characters = 0;
  uint32_t script = kNone;
  for (size_t at = 0; at < name.size(); ++characters) {
    const size_t length = Utf8Length(name.substr(at));
    const std::optional<uint32_t> its =
        length == 0 ? std::nullopt : NameScript(name.substr(at, length));
    if (!its || (*its != kNone && script != kNone && *its != script) ||
        characters == kMaxComputerCharacters) {
      return "";
    }
    if (*its != kNone) script = *its;
    at += length;
  }
  return std::string(name);
}

}  // namespace varnix
