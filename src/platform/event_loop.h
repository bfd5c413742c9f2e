// The single-threaded event loop: timers with the classic timer contract, socket events, re-entrant
// dispatch.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace varnix {

class UdpSocket;

// A periodic timer whose ticks arrive on the loop's thread.
class Timer {
 public:
  virtual ~Timer() = default;

  // Milliseconds between ticks; setting it restarts the count. 0 means no ticks.
  virtual void SetInterval(int milliseconds) = 0;
  virtual int Interval() const = 0;
  // Enabling a stopped timer starts the count; enabling a running one changes nothing.
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
};

// A watch on the socket of a library that does its own reading and writing (an MQTT client,
// an HTTP server); it ends when the object goes.
class SocketWatch {
 public:
  virtual ~SocketWatch() = default;
  // Whether the library has something to write: while it has, the loop also says when the
  // socket can take more.
  virtual void WantWrite(bool wanted) = 0;
};

// A watch on a process's end; it ends when the object goes.
class EndWatch {
 public:
  virtual ~EndWatch() = default;
};

class EventLoop {
 public:
  using Datagram = std::function<void(std::string)>;
  // Readiness of a watched socket: readable (or closed, or failed), writable.
  using SocketReady = std::function<void(bool readable, bool writable)>;

  virtual ~EventLoop() = default;

  // A new timer is disabled with interval 0.
  virtual std::unique_ptr<Timer> CreateTimer(std::function<void()> on_tick) = 0;
  // Every datagram the socket receives is handed to `on_datagram` whole, on the loop's thread.
  virtual std::unique_ptr<UdpSocket> CreateUdpSocket(Datagram on_datagram) = 0;

  // Calls `on_ready` on the loop's thread when `socket` (a descriptor, or a Windows SOCKET)
  // is ready; the caller keeps owning the socket, and ends the watch before closing it.
  virtual std::unique_ptr<SocketWatch> WatchSocket(intptr_t socket, SocketReady on_ready) = 0;
  // Calls `on_end` once, on the loop's thread, when the process behind `waitable` (what a
  // process handle waits on: a pidfd, a process HANDLE) has ended. No polling: the system
  // wakes the loop. The handle must outlive the watch.
  virtual std::unique_ptr<EndWatch> WatchEnd(intptr_t waitable, std::function<void()> on_end) = 0;

  // Waits at most `max_wait` for an event, then runs every handler that is due.
  // Handlers may call it again: that is how a handler waits without blocking the others.
  virtual void DispatchPending(std::chrono::milliseconds max_wait) = 0;
  // A monotonic clock in milliseconds, the one the timers run on.
  virtual int64_t NowMilliseconds() const = 0;
  // Dispatches until Quit.
  virtual void Run() = 0;
  // Makes Run return once the handler that called it, and every dispatch it is nested in,
  // has returned.
  virtual void Quit() = 0;
  // Quit was called and Run has not returned yet: waits in handlers should end now.
  virtual bool Quitting() const = 0;
  // `handler` runs on the loop's thread when the system asks the program to end.
  virtual void OnEndRequest(std::function<void()> handler) = 0;
  // `handler` runs on the loop's thread when the system asks the program to read its settings
  // again: SIGHUP, or a service's parameter-change control. Nothing where there is neither.
  virtual void OnReloadRequest(std::function<void()> /*handler*/) {}
};

}  // namespace varnix
