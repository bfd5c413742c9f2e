// The event loop on Windows: a hidden window that receives timer, socket and session messages.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "platform/event_loop.h"
#include "platform/win32/windows_headers.h"

namespace varnix {

class Win32EventLoop : public EventLoop {
 public:
  Win32EventLoop();
  ~Win32EventLoop() override;

  std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) override;
  std::unique_ptr<UdpSocket> CreateUdpSocket(Datagram on_datagram) override;
  void DispatchPending(std::chrono::milliseconds max_wait) override;
  int64_t NowMilliseconds() const override { return static_cast<int64_t>(GetTickCount64()); }
  void Run() override;
  void Quit() override { quit_ = true; }
  bool Quitting() const override { return quit_; }
  void OnEndRequest(std::function<void()> handler) override { end_handler_ = std::move(handler); }

  HWND window() const { return window_; }

  // Bookkeeping used by the timer and socket objects.
  struct TimerState {
    std::function<void()> on_tick;
    int interval = 0;
    bool enabled = false;
  };
  UINT_PTR AddTimer(std::function<void()> on_tick);
  void RemoveTimer(UINT_PTR id);
  TimerState& timer(UINT_PTR id) { return timers_.at(id); }
  void ApplyTimer(UINT_PTR id);
  void AddSocket(SOCKET socket, std::function<void()> on_readable) {
    sockets_[socket] = std::move(on_readable);
  }
  void RemoveSocket(SOCKET socket) { sockets_.erase(socket); }

  static constexpr UINT kSocketMessage = WM_APP + 1;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);

  WinsockSession winsock_;
  HWND window_ = nullptr;
  UINT_PTR next_timer_ = 1;
  std::map<UINT_PTR, TimerState> timers_;
  std::map<SOCKET, std::function<void()>> sockets_;
  std::function<void()> end_handler_;
  bool quit_ = false;
};

}  // namespace varnix
