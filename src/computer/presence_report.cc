// PresenceReport: what the system tells of the active session, compared with what was told.
#include "computer/presence_report.h"

namespace varnix {

StatusItems PresenceItems(const Presence& presence) {
  if (!presence.problem.empty()) return {{"Presence", "not known: " + presence.problem}};
  if (!presence.session) return {{"Session", "none"}, {"User", ""}, {"Locked", "no"}};
  StatusItems items{{"User", presence.user}};
  if (presence.locked) items.emplace_back("Locked", *presence.locked ? "yes" : "no");
  if (presence.idle_seconds)
    items.emplace_back("IdleSeconds", std::to_string(*presence.idle_seconds));
  return items;
}

PresenceReport::PresenceReport(Machine& machine, EventLoop& loop, Changed changed)
    : loop_(loop),
      changed_(std::move(changed)),
      watch_(machine.WatchPresence(loop, [this] { Look(); })) {
  first_ = loop.CreateTimer([this] {
    first_->SetEnabled(false);
    Look();
  });
  first_->SetInterval(1);
  first_->SetEnabled(true);
}

Presence PresenceReport::Now() {
  if (fresh_at_ && loop_.NowMilliseconds() - *fresh_at_ < kFreshMs) return fresh_;
  return Read();
}

const Presence& PresenceReport::Read() {
  fresh_ = watch_->Now();
  fresh_at_ = loop_.NowMilliseconds();
  return fresh_;
}

void PresenceReport::Pass() {
  if (!watch_->TellsChanges()) Look();
}

void PresenceReport::Look() {
  // Read afresh: a change the system tells must not be answered by what was read before it.
  Presence now = Read();
  const bool told = read_ && now.session == last_.session && now.user == last_.user &&
                    now.locked == last_.locked && now.problem == last_.problem;
  // The first reading is no change, unless it is a problem, which is said once.
  const bool tell = read_ ? !told : !now.problem.empty();
  read_ = true;
  last_ = now;
  if (tell) changed_(now);
}

}  // namespace varnix
