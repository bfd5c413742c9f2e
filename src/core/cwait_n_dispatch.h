// A wait that keeps the event loop dispatching, so timers and messages are handled meanwhile.
#pragma once

#include <functional>

#include "platform/event_loop.h"

namespace varnix {

class CWaitNDispatch {
 public:
  // The error raised when a Wait is entered again while one runs on the same object.
  static constexpr long kNotReentrant = static_cast<long>(0x800403E9 - 0x100000000LL);

  explicit CWaitNDispatch(EventLoop& loop) : loop_(loop) {}
  ~CWaitNDispatch() { Cancel(); }
  CWaitNDispatch(const CWaitNDispatch&) = delete;
  CWaitNDispatch& operator=(const CWaitNDispatch&) = delete;

  bool IsWaiting() const { return waiting_; }
  // Waits `waitMilliseconds` (0: returns at once) while dispatching. Throws Error
  // kNotReentrant when this object is already waiting; the running wait goes on.
  void Wait(int waitMilliseconds);
  // Ends the running wait at its next check; does nothing outside a wait.
  void Cancel() {
    if (waiting_) cancelled_ = true;
  }
  // Raised at the end of every Wait that ran.
  void OnTimer(std::function<void()> handler) { onTimer_ = std::move(handler); }

 private:
  EventLoop& loop_;
  bool waiting_ = false;
  bool cancelled_ = false;
  std::function<void()> onTimer_;
};

}  // namespace varnix
