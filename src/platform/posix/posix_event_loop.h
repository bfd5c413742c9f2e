// The poll()-based event loop with its timers and UDP sockets.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <vector>

#include "platform/event_loop.h"
#include "platform/posix/unique_fd.h"
#include "platform/timer_queue.h"

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
  void OnReloadRequest(std::function<void()> handler) override;
  std::unique_ptr<SocketWatch> WatchSocket(intptr_t socket, SocketReady on_ready) override;
  std::unique_ptr<EndWatch> WatchEnd(intptr_t waitable, std::function<void()> on_end) override;

  // Watchers for the descriptors of other OS services; `on_readable` runs when fd can be read.
  uint64_t WatchReadable(int fd, std::function<void()> on_readable);
  void Unwatch(uint64_t id);
  // Also asks poll() whether the watch's descriptor can be written.
  void WatchWritable(uint64_t id, bool wanted);

 private:
  struct Watch {
    int fd;
    bool write = false;
    SocketReady on_ready;
  };

  TimerQueue timers_{[this] { return NowMilliseconds(); }};
  uint64_t next_id_ = 1;
  // Keyed by id so that a handler may add or remove watches while others are being run.
  std::map<uint64_t, Watch> watches_;
  bool quit_ = false;
  UniqueFd signal_read_;
  uint64_t signal_watch_ = 0;
  std::function<void()> end_handler_;
  std::function<void()> reload_handler_;
  // Has `signals` written into the pipe that the loop watches, made by the first call.
  void ListenForSignals(std::initializer_list<int> signals);
};

}  // namespace varnix
