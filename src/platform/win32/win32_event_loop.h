// The event loop on Windows: a hidden window that receives socket and session messages; timers
// are the shared queue, waited for by MsgWaitForMultipleObjectsEx.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "platform/event_loop.h"
#include "platform/timer_queue.h"
#include "platform/win32/windows_headers.h"

namespace varnix {

// From any thread: hands an end request to the loop that listens for one (OnEndRequest), as a
// console's Ctrl-C is. False while no loop listens.
bool PostEndRequest();
// From any thread: hands a request to read the settings again to that loop
// (OnReloadRequest). False while no loop listens.
bool PostReloadRequest();

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
  void OnEndRequest(std::function<void()> handler) override;
  void OnReloadRequest(std::function<void()> handler) override {
    reload_handler_ = std::move(handler);
  }
  std::unique_ptr<SocketWatch> WatchSocket(intptr_t socket, SocketReady on_ready) override;
  std::unique_ptr<EndWatch> WatchEnd(intptr_t waitable, std::function<void()> on_end) override;

  HWND window() const { return window_; }

  // Bookkeeping used by the socket objects.
  void AddSocket(SOCKET socket, std::function<void()> on_readable) {
    sockets_[socket] = std::move(on_readable);
  }
  void RemoveSocket(SOCKET socket) { sockets_.erase(socket); }
  void AddStream(SOCKET socket, SocketReady on_ready) { streams_[socket] = std::move(on_ready); }
  void RemoveStream(SOCKET socket) { streams_.erase(socket); }
  void RemoveEnd(uint64_t id) { ends_.erase(id); }

  static constexpr UINT kSocketMessage = WM_APP + 1;
  static constexpr UINT kStreamMessage = WM_APP + 2;
  static constexpr UINT kEndMessage = WM_APP + 3;  // WPARAM: the end watch's id
  static constexpr UINT kReloadMessage = WM_APP + 4;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam);

  WinsockSession winsock_;
  HWND window_ = nullptr;
  TimerQueue timers_{[this] { return NowMilliseconds(); }};
  std::map<SOCKET, std::function<void()>> sockets_;
  std::map<SOCKET, SocketReady> streams_;
  std::map<uint64_t, std::function<void()>> ends_;
  uint64_t next_end_ = 1;
  std::function<void()> end_handler_;
  std::function<void()> reload_handler_;
  bool quit_ = false;
};

}  // namespace varnix
