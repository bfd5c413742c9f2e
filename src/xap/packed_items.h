// The packed item text that carries one outgoing section: name, char 1, value; items joined by char
// 0.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "core/text.h"

namespace varnix {

inline constexpr char kItemSeparator = '\0';
inline constexpr char kNameValueSeparator = '\1';

using Item = std::pair<std::string_view, std::string_view>;

// Appends one item to `packed`. Control characters in the name or value become spaces: a NUL
// or a char 1 from a request's text would otherwise forge items of its own in the reply.
inline void AppendItem(std::string& packed, std::string_view name, std::string_view value) {
  if (!packed.empty()) packed += kItemSeparator;
  for (const char c : name) packed += IsControlByte(c) ? ' ' : c;
  packed += kNameValueSeparator;
  for (const char c : value) packed += IsControlByte(c) ? ' ' : c;
}

inline std::string PackItems(std::initializer_list<Item> items) {
  std::string packed;
  for (const auto& [name, value] : items) AppendItem(packed, name, value);
  return packed;
}

}  // namespace varnix
