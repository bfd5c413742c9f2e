// Keeps an event loop dispatching until a condition holds, for tests that wait on the system.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/event_loop.h"

namespace varnix {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Returns whether `done` held before `limit` passed. `done` is asked once a round, and its
// answer is the answer: it may keep state of its own (what it saw the round before, say).
template <typename Done>
bool DispatchUntil(EventLoop& loop, milliseconds limit, Done done) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    loop.DispatchPending(milliseconds(20));
  }
}

// The first of `texts` that holds `needle`, or nullptr.
inline const std::string* FirstWith(const std::vector<std::string>& texts,
                                    const std::string& needle) {
  for (const std::string& text : texts) {
    if (text.find(needle) != std::string::npos) return &text;
  }
  return nullptr;
}

// How many times `needle` stands in `text`, overlaps included.
inline size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace varnix
