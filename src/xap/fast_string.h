// An append-only text builder: one buffer, reserved once, so building a message allocates once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnix {

class FastString {
 public:
  void Add(std::string_view strValue) {
    // Most messages fit here; a message that is only read never reserves it.
    if (text_.capacity() < kFirstReserve) text_.reserve(kFirstReserve);
    text_.append(strValue);
  }
  const std::string& Value() const { return text_; }
  void Reset() { text_.clear(); }

 private:
  static constexpr std::size_t kFirstReserve = 256;

  std::string text_;
};

}  // namespace varnix
