// Who is at the computer, as its status answer tells it, with each change of its user or of
// its lock told at once.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "computer/computer_figures.h"
#include "platform/event_loop.h"
#include "platform/machine.h"

namespace varnix {

// User (of the active session), Locked=yes|no and IdleSeconds, each where the system tells it;
// Session=none with an empty user where no local session is active; where the system cannot tell,
// Presence=not known: why.
StatusItems PresenceItems(const Presence& presence);

class PresenceReport {
 public:
  // `changed` is told a new user, a lock or unlock, a session's start or end, and a reading
  // that turned into a problem or back; idle time goes with the figures only.
  using Changed = std::function<void(const Presence& now)>;

  // Reads first once the loop runs: the start waits for no bus.
  PresenceReport(Machine& machine, EventLoop& loop, Changed changed);

  // As it is now: read afresh, unless it was read within kFreshMs. Each read may be several
  // calls to the system's session manager, and status questions may come in a flood.
  static constexpr int64_t kFreshMs = 1000;
  Presence Now();
  // The node's regular pass: where the system tells no change, a change is looked for here,
  // which wakes the node no more often than it wakes already.
  void Pass();

 private:
  void Look();
  const Presence& Read();

  EventLoop& loop_;
  Changed changed_;
  std::unique_ptr<PresenceWatch> watch_;
  std::unique_ptr<Timer> first_;
  Presence last_;  // as last told, or read first
  bool read_ = false;
  Presence fresh_;  // as last read, at fresh_at_ on the loop's clock
  std::optional<int64_t> fresh_at_;
};

}  // namespace varnix
