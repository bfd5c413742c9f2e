// The shared timer queue: the classic interval/enabled contract on a plain clock.
#include "platform/timer_queue.h"

#include <algorithm>
#include <vector>

namespace varnix {

class TimerQueue::QueuedTimer : public Timer {
 public:
  QueuedTimer(TimerQueue& queue, uint64_t id) : queue_(queue), id_(id) {}
  ~QueuedTimer() override { queue_.timers_.erase(id_); }

  void SetInterval(int milliseconds) override {
    State& state = this->state();
    state.interval = std::max(milliseconds, 0);
    state.due = queue_.now_() + state.interval;
  }
  int Interval() const override { return queue_.timers_.at(id_).interval; }
  void SetEnabled(bool enabled) override {
    State& state = this->state();
    if (enabled && !state.enabled) state.due = queue_.now_() + state.interval;
    state.enabled = enabled;
  }
  bool Enabled() const override { return queue_.timers_.at(id_).enabled; }

 private:
  State& state() { return queue_.timers_.at(id_); }

  TimerQueue& queue_;
  uint64_t id_;
};

std::unique_ptr<Timer> TimerQueue::CreateTimer(std::function<void()> on_tick) {
  const uint64_t id = next_id_++;
  timers_[id].on_tick = std::move(on_tick);
  return std::make_unique<QueuedTimer>(*this, id);
}

std::optional<int64_t> TimerQueue::NextDue() const {
  std::optional<int64_t> next;
  for (const auto& [id, state] : timers_) {
    if (state.Running() && (!next || state.due < *next)) next = state.due;
  }
  return next;
}

int64_t TimerQueue::WaitBefore(int64_t limit) const {
  const std::optional<int64_t> next = NextDue();
  if (!next) return std::max<int64_t>(limit, 0);
  return std::clamp<int64_t>(*next - now_(), 0, std::max<int64_t>(limit, 0));
}

void TimerQueue::RunDue() {
  const int64_t now = now_();
  std::vector<std::pair<int64_t, uint64_t>> due;  // (due, id), so that sorting is by time first
  for (const auto& [id, state] : timers_) {
    if (state.Running() && state.due <= now) due.emplace_back(state.due, id);
  }
  std::sort(due.begin(), due.end());
  for (const auto& [when, id] : due) {
    const auto found = timers_.find(id);
    // An earlier handler, or a dispatch nested in it, may have removed, stopped or run it.
    if (found == timers_.end() || !found->second.Running() || found->second.due > now_()) {
      continue;
    }
    found->second.due = now_() + found->second.interval;
    const auto on_tick = found->second.on_tick;  // the handler may destroy its timer
    on_tick();
  }
}

}  // namespace varnix
