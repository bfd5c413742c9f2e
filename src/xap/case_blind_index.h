// A hash index of positions by case-blind key, for a parse that meets more keys than a line
// by line search can afford (a hostile datagram holds thousands).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/text.h"

namespace varnix {

class CaseBlindIndex {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  // The position stored under a key equal to `key` (letter case ignored); when there is none,
  // stores `position` under it and returns kNone. `key_at(position)` gives a stored key back.
  template <typename KeyAt>
  uint32_t FindOrInsert(std::string_view key, uint32_t position, const KeyAt& key_at) {
    if ((used_ + 1) * 2 > slots_.size()) Grow(key_at);
    const size_t mask = slots_.size() - 1;
    for (size_t slot = Hash(key) & mask;; slot = (slot + 1) & mask) {
      if (slots_[slot] == 0) {
        slots_[slot] = position + 1;
        ++used_;
        return kNone;
      }
      const uint32_t stored = slots_[slot] - 1;
      if (EqualsIgnoringCase(key_at(stored), key)) return stored;
    }
  }

  void Clear() {
    slots_.clear();
    used_ = 0;
  }
  bool empty() const { return used_ == 0; }

 private:
  static uint64_t Hash(std::string_view key) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : key)
      hash = (hash ^ static_cast<unsigned char>(LowerAscii(c))) * 1099511628211ull;
    return hash;
  }

  template <typename KeyAt>
  void Grow(const KeyAt& key_at) {
    std::vector<uint32_t> old;
    old.swap(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, 0);
    const size_t mask = slots_.size() - 1;
    for (const uint32_t stored : old) {
      if (stored == 0) continue;
      size_t slot = Hash(key_at(stored - 1)) & mask;
      while (slots_[slot] != 0) slot = (slot + 1) & mask;
      slots_[slot] = stored;
    }
  }

  std::vector<uint32_t> slots_;  // position + 1; 0 for an empty slot
  size_t used_ = 0;
};

}  // namespace varnix
