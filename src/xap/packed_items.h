// The packed item text that carries one outgoing section: name, char 1, value; items joined by char
// 0.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace varnix {

inline constexpr char kItemSeparator = '\0';
inline constexpr char kNameValueSeparator = '\1';

using Item = std::pair<std::string_view, std::string_view>;

inline std::string PackItems(std::initializer_list<Item> items) {
  std::string packed;
  bool first = true;
  for (const auto& [name, value] : items) {
    if (!first) packed += kItemSeparator;
    first = false;
    packed.append(name);
    packed += kNameValueSeparator;
    packed.append(value);
  }
  return packed;
}

}  // namespace varnix
