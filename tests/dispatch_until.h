// Keeps an event loop dispatching until a condition holds, for tests that wait on the system.
#pragma once

#include <chrono>

#include "platform/event_loop.h"

namespace varnix {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Returns whether `done` held before `limit` passed. `done` is asked once more at the end, so
// it should only look, not take.
template <typename Done>
bool DispatchUntil(EventLoop& loop, milliseconds limit, Done done) {
  const auto deadline = Clock::now() + limit;
  while (!done() && Clock::now() < deadline) {
    loop.DispatchPending(milliseconds(20));
  }
  return done();
}

}  // namespace varnix
