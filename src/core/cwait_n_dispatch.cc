// CWaitNDispatch: dispatch until the time is up or the wait is cancelled.
#include "core/cwait_n_dispatch.h"

#include <chrono>

#include "platform/error.h"

namespace varnix {

void CWaitNDispatch::Wait(int waitMilliseconds) {
  if (waitMilliseconds == 0) return;
  if (waiting_) {
    throw Error(kNotReentrant,
                "This function is not reentrant. If you want to wait for a second period use a "
                "new object");
  }
  waiting_ = true;
  cancelled_ = false;
  // Whatever a handler does during the wait, this object leaves the waiting state with it.
  struct Idle {
    CWaitNDispatch& wait;
    ~Idle() { wait.waiting_ = wait.cancelled_ = false; }
  } idle{*this};
  const int64_t end = loop_.NowMilliseconds() + waitMilliseconds;
  // An end request releases every wait, so that the stack can unwind before the unload.
  for (int64_t remaining = waitMilliseconds; remaining > 0 && !cancelled_ && !loop_.Quitting();
       remaining = end - loop_.NowMilliseconds()) {
    loop_.DispatchPending(std::chrono::milliseconds(remaining));
  }
  waiting_ = false;
  if (onTimer_) onTimer_();
}

}  // namespace varnix
