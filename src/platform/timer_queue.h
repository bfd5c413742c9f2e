// The timers of an event loop, on any millisecond clock: one queue for every loop, real or fake.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "platform/event_loop.h"

namespace varnix {

class TimerQueue {
 public:
  using Clock = std::function<int64_t()>;

  explicit TimerQueue(Clock now) : now_(std::move(now)) {}
  TimerQueue(const TimerQueue&) = delete;
  TimerQueue& operator=(const TimerQueue&) = delete;

  // The timer keeps a reference to the queue, which must outlive it.
  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick);

  // When the earliest running timer falls due, if one runs.
  std::optional<int64_t> NextDue() const;
  // Milliseconds a loop may wait before a timer falls due: at most `limit`, never negative.
  int64_t WaitBefore(int64_t limit) const;
  // Runs each timer that is due, earliest first. Missed periods are not caught up: a timer
  // ticks once, then is due a full interval from now.
  void RunDue();

 private:
  class QueuedTimer;
  struct State {
    std::function<void()> on_tick;
    int interval = 0;
    bool enabled = false;
    int64_t due = 0;
    bool Running() const { return enabled && interval > 0; }
  };

  Clock now_;
  uint64_t next_id_ = 1;
  // Keyed by id so that a handler may create or destroy timers while others are being run.
  std::map<uint64_t, State> timers_;
};

}  // namespace varnix
