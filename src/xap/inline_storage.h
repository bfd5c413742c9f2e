// Storage that lives inside its owner up to a size, and on the heap only beyond it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace varnix {

// A vector of trivially copyable values; the first N never allocate.
template <typename T, std::size_t N>
class InlineVector {
 public:
  // A new last value, for the caller to fill in place: a value built aside and copied in whole
  // is read back before its parts are stored, which stalls.
  T& emplace_back() {
    if (size_ < N) return inline_[size_++];
    if (heap_.empty()) heap_.assign(inline_.begin(), inline_.end());
    ++size_;
    return heap_.emplace_back();
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return heap_.empty() ? inline_[i] : heap_[i]; }
  const T& operator[](std::size_t i) const { return heap_.empty() ? inline_[i] : heap_[i]; }
  T& back() { return (*this)[size_ - 1]; }

 private:
  std::array<T, N> inline_;  // filled as values are pushed: nothing to clear first
  std::vector<T> heap_;
  std::size_t size_ = 0;
};

// Text that is only appended to; the first N bytes never allocate.
template <std::size_t N>
class InlineText {
 public:
  void append(std::string_view text) {
    if (!text.empty()) std::memcpy(Extend(text.size()), text.data(), text.size());
  }
  // Room for `count` more bytes at the end, for the caller to write: a reader that copies as it
  // scans passes over the text once.
  char* Extend(std::size_t count) {
    const std::size_t at = size_;
    size_ += count;
    if (heap_.empty() && size_ <= N) return inline_.data() + at;
    if (heap_.empty()) heap_.assign(inline_.data(), at);
    heap_.resize(size_);
    return heap_.data() + at;
  }
  std::size_t size() const { return size_; }
  std::string_view view() const {
    return heap_.empty() ? std::string_view(inline_.data(), size_) : std::string_view(heap_);
  }

 private:
  std::array<char, N> inline_;
  std::string heap_;
  std::size_t size_ = 0;
};

}  // namespace varnix
