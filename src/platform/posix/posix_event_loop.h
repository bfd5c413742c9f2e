// The poll()-based event loop with its timers and UDP sockets.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/event_loop.h"
#include "platform/posix/unique_fd.h"

namespace varnix {

class PosixEventLoop : public EventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  PosixEventLoop();
  ~PosixEventLoop() override;

  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;
  std::unique_ptr<UdpSocket> CreateUdpSocket(Datagram on_datagram) override;
  void DispatchPending(std::chrono::milliseconds max_wait) override;
  int64_t NowMilliseconds() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
  }
  void Run() override;
  void Quit() override { quit_ = true; }
  bool Quitting() const override { return quit_; }
  void OnEndRequest(std::function<void()> handler) override;

  // Watchers for the descriptors of other OS services; `on_readable` runs when fd can be read.
  uint64_t WatchReadable(int fd, std::function<void()> on_readable);
  void Unwatch(uint64_t id);

  // Timer bookkeeping, used by the timer objects.
  struct TimerState {
    std::function<void()> on_tick;
    int interval = 0;
    bool enabled = false;
    Clock::time_point due;
  };
  uint64_t AddTimer(std::function<void()> on_tick);
  void RemoveTimer(uint64_t id) { timers_.erase(id); }
  TimerState& timer(uint64_t id) { return timers_.at(id); }

 private:
  struct Watch {
    int fd;
    std::function<void()> on_readable;
  };

  void RunDueTimers();
  std::chrono::milliseconds TimeToNextTimer(std::chrono::milliseconds limit) const;

  uint64_t next_id_ = 1;
  // Keyed by id so that a handler may add or remove entries while others are being run.
  std::map<uint64_t, TimerState> timers_;
  std::map<uint64_t, Watch> watches_;
  bool quit_ = false;
  UniqueFd signal_read_;
  uint64_t signal_watch_ = 0;
  std::function<void()> end_handler_;
};

}  // namespace varnix
