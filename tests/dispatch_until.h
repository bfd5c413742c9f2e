// Keeps an event loop dispatching until a condition holds, for tests that wait on the system.
#pragma once

#include <chrono>

#include "platform/event_loop.h"

namespace varnix {

// Returns whether `done` held before `limit` passed. `done` is asked once more at the end, so
// it should only look, not take.
template <typename Done>
bool DispatchUntil(EventLoop& loop, std::chrono::milliseconds limit, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    loop.DispatchPending(std::chrono::milliseconds(20));
  }
  return done();
}

}  // namespace varnix
