// An append-only text builder that joins its pieces without copying the growing text each time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnix {

class FastString {
 public:
  FastString() { Reset(); }

  void Add(std::string_view strValue) {
    // Most messages fit here, so building one allocates once; a message only read, never.
    if (text_.capacity() < kFirstReserve) text_.reserve(kFirstReserve);
    if (pieces_ + 1 >= slots_) slots_ += kGrowBy;
    ++pieces_;
    text_.append(strValue);
  }
  const std::string& Value() const { return text_; }
  void Reset();

  // Slots in the piece array, counted the classic way: 101 at first, 100 more per growth.
  std::size_t SlotCount() const { return slots_; }

 private:
  static constexpr std::size_t kGrowBy = 100;
  static constexpr std::size_t kFirstReserve = 256;

  // The pieces are kept joined; only their count and the slot arithmetic are tracked.
  std::string text_;
  std::size_t pieces_ = 0;
  std::size_t slots_ = 0;
};

}  // namespace varnix
