// RestartPlans: each run's end heard as it comes, each ended run started again after its delay.
#include "supervision/restart_plans.h"

#include <algorithm>
#include <cmath>

#include "core/steps.h"
#include "core/unix_time.h"

namespace varnix {

std::string EndWords(const std::optional<ExitStatus>& how) {
  if (!how) return "an unknown end";
  if (!how->signal.empty()) return how->signal;
  return how->code ? "exit " + std::to_string(*how->code) : "an unknown end";
}

RestartPlans::RestartPlans(EventLoop& loop, ProcessTable& table, Starter start, GaveUp gave_up,
                           Changed changed)
    : loop_(loop),
      table_(table),
      start_(std::move(start)),
      gave_up_(std::move(gave_up)),
      changed_(std::move(changed)),
      timer_(loop.CreateTimer([this] { Check(); })),
      spread_(std::random_device{}()) {}

RestartPlans::Plan* RestartPlans::Planned(uint64_t id) {
  const auto found =
      std::find_if(plans_.begin(), plans_.end(), [&](const auto& kept) { return kept->id == id; });
  return found == plans_.end() ? nullptr : found->get();
}

RestartPlans::Plan* RestartPlans::Find(const std::string& key) const {
  for (const auto& plan : plans_) {
    if (plan->request.key == key) return plan.get();
  }
  return nullptr;
}

ProcessId RestartPlans::RunOf(const std::string& key) {
  Plan* const plan = Find(key);
  if (plan == nullptr || !plan->run) return 0;
  bool ended = true;
  Quietly([&] { ended = table_.HasEnded(*plan->run); });
  return ended ? 0 : plan->pid;
}

bool RestartPlans::Hold(Plan& plan, ProcessId pid) {
  plan.watch.reset();
  plan.run.reset();
  plan.pid = 0;
  if (pid == 0) return false;
  Quietly([&] { plan.run = table_.Hold(pid); });
  if (!plan.run) return false;
  plan.pid = pid;
  // Woken by the system when it ends; where it cannot be, the timer asks.
  if (plan.run->Waitable() >= 0) {
    const uint64_t id = plan.id;
    Quietly([&] {
      plan.watch = loop_.WatchEnd(plan.run->Waitable(), [this, id] {
        Plan* const which = Planned(id);
        if (which == nullptr || !which->run) return;
        RunEnded(*which, loop_.NowMilliseconds());
        Settle();
      });
    });
  }
  return true;
}

void RestartPlans::Follow(const StartRequest& request, RestartPolicy policy, ProcessId pid) {
  // A program that could not be started at all is not tried again and again.
  if (pid == 0 || (policy == RestartPolicy::kNo && request.name.empty())) {
    return Forget(request.key);
  }
  Plan& plan = Make(request, policy);
  if (!Hold(plan, pid)) {
    // Gone already: started again, or for a run that is not kept, done with.
    if (policy == RestartPolicy::kNo) {
      plan.done = true;
    } else {
      ScheduleAfter(plan, plan.started_at);
    }
  }
  Settle();
}

void RestartPlans::Adopt(const StartRequest& request, RestartPolicy policy, ProcessId pid) {
  if (policy == RestartPolicy::kNo && (request.name.empty() || pid == 0)) {
    return Forget(request.key);
  }
  Plan& plan = Make(request, policy);
  // Ended while no node watched: how is not known, which counts as a failure. Started now,
  // not after a delay: nobody has been waiting for it to fail again.
  if (!Hold(plan, pid)) plan.due_at = plan.started_at;
  Settle();
}

void RestartPlans::Remember(const StartRequest& request, RestartPolicy policy, bool gave_up,
                            const std::optional<ExitStatus>& last_end) {
  Plan& plan = Make(request, policy);
  plan.gave_up = gave_up;
  plan.done = !gave_up;
  plan.last_end = last_end;
  Settle();
}

RestartPlans::Plan& RestartPlans::Make(const StartRequest& request, RestartPolicy policy) {
  std::erase_if(plans_, [&](const auto& plan) { return plan->request.key == request.key; });
  auto plan = std::make_unique<Plan>();
  plan->id = next_id_++;
  plan->request = request;
  plan->policy = policy;
  plan->started_at = loop_.NowMilliseconds();
  plan->since_unix = UnixSecondsNow();
  plans_.push_back(std::move(plan));
  return *plans_.back();
}

void RestartPlans::MarkStale(const std::string& key) {
  if (Plan* plan = Find(key); plan != nullptr && plan->run) plan->stale = true;
}

void RestartPlans::Forget(const std::string& key) {
  const size_t before = plans_.size();
  std::erase_if(plans_, [&](const auto& plan) { return plan->request.key == key; });
  // Told only when it changes: a start without a plan asks for a Forget, and the plans are
  // written to disk at each change.
  if (plans_.size() != before) Settle();
}

void RestartPlans::Settle() {
  std::erase_if(plans_, [](const auto& plan) { return Finished(*plan); });
  UpdateTimer();
  if (changed_) changed_();
}

bool RestartPlans::GaveUpOn(const std::string& key, ProcessId pid,
                            std::optional<ExitStatus>* last_end) {
  Plan* plan = Find(key);
  if (plan == nullptr || pid == 0) return false;
  const auto gave_up = [&] {
    if (plan->gave_up) *last_end = plan->last_end;
    return plan->gave_up;
  };
  if (plan->id == starting_) {
    // Ended before the report of its start: this is the end that counts, seen now. The plan
    // is left in place for its start to return to.
    plan->told_in_start = true;
    if (!Hold(*plan, pid)) return false;
    bool ended = false;
    Quietly([&] { ended = table_.HasEnded(*plan->run); });
    if (ended) RunEnded(*plan, loop_.NowMilliseconds());
    return gave_up();
  }
  if (plan->run && plan->pid == pid) {
    bool ended = false;
    Quietly([&] { ended = table_.HasEnded(*plan->run); });
    if (!ended) return false;
    RunEnded(*plan, loop_.NowMilliseconds());
    const bool given_up = gave_up();
    Settle();
    return given_up;
  }
  return plan->pid == pid && gave_up();
}

std::vector<RestartPlans::View> RestartPlans::Plans() const {
  std::vector<View> views;
  for (const auto& plan : plans_) {
    views.push_back({plan->request, plan->policy, plan->run ? plan->pid : 0, plan->restarts,
                     plan->since_unix, plan->gave_up, plan->done, plan->last_end,
                     plan->stale && plan->run != nullptr});
  }
  return views;
}

void RestartPlans::RunEnded(Plan& plan, int64_t now) {
  std::optional<ExitStatus> how;
  Quietly([&] { how = table_.HowEnded(*plan.run); });
  plan.last_end = how;
  const int64_t ran = now - plan.started_at;
  if (ran < int64_t{plan.request.start_seconds} * 1000) {
    if (plan.quick_ends++ == 0) plan.quick_since = plan.started_at;
  } else {
    // A healthy run: the program is restarted as soon as at first, as often as it takes.
    plan.quick_ends = 0;
    plan.delay_seconds = kFirstDelaySeconds;
  }
  // Not knowing how it ended is taken for a failure: it is not running, and was meant to.
  const std::vector<int>& good = plan.request.exit_codes;
  const bool failed = !how || !how->signal.empty() ||
                      std::find(good.begin(), good.end(), how->code.value_or(0)) == good.end();
  if (plan.policy == RestartPolicy::kNo || (plan.policy != RestartPolicy::kAlways && !failed)) {
    // Nothing more to do; a declared program's plan keeps that it ran, for the next node.
    plan.watch.reset();
    plan.run.reset();
    plan.done = true;
    return;
  }
  if (plan.request.give_up_after > 0 && plan.quick_ends >= plan.request.give_up_after) {
    plan.watch.reset();
    plan.run.reset();
    plan.gave_up = true;
    plan.since_unix = UnixSecondsNow();
    const int64_t seconds = (now - plan.quick_since + 500) / 1000;
    const std::string label = plan.request.name.empty() ? plan.request.path : plan.request.name;
    if (gave_up_) {
      gave_up_(plan.request, label + ": gave up after " + std::to_string(plan.quick_ends) +
                                 " starts in " + std::to_string(seconds) + " s (" + EndWords(how) +
                                 ")");
    }
    return;
  }
  ScheduleAfter(plan, now);
}

void RestartPlans::ScheduleAfter(Plan& plan, int64_t now) {
  plan.watch.reset();
  plan.run.reset();
  std::uniform_real_distribution<double> spread(1 - kSpread, 1 + kSpread);
  plan.due_at = now + std::llround(plan.delay_seconds * 1000 * spread(spread_));
  plan.delay_seconds = std::min(plan.delay_seconds * 2, kLongestDelaySeconds);
}

void RestartPlans::StartAgain(Plan& plan, int64_t now) {
  plan.started_at = now;
  plan.since_unix = UnixSecondsNow();
  ++plan.restarts;
  plan.told_in_start = false;
  plan.stale = false;
  starting_ = plan.id;
  UpdateTimer();
  // The start returns at once, but its report may tell an end, and a starter may dispatch: the
  // request is a copy, and the plan is looked up again afterwards, never held across.
  const uint64_t id = plan.id;
  const StartRequest request = plan.request;
  const RestartPolicy policy = plan.policy;
  ProcessId pid = 0;
  Quietly([&] { pid = start_(request, policy); });
  starting_ = 0;
  Plan* const still = Planned(id);
  if (still == nullptr || still->told_in_start) return;  // forgotten, or its end taken already
  if (!Hold(*still, pid)) ScheduleAfter(*still, now);
}

void RestartPlans::Check() {
  // Not from within a start's first second: that plan is still due, and would start twice.
  if (starting_ != 0) return;
  const int64_t now = loop_.NowMilliseconds();
  // Runs the system does not wake the loop for, all asked at once.
  std::vector<Plan*> asked;
  std::vector<const ProcessHandle*> runs;
  for (const auto& plan : plans_) {
    if (plan->run && !plan->watch) {
      asked.push_back(plan.get());
      runs.push_back(plan->run.get());
    }
  }
  std::vector<bool> ended;
  if (!runs.empty()) Quietly([&] { ended = table_.HaveEnded(runs); });
  // Told only when something happened: where runs are asked about, the timer comes often.
  bool changed = false;
  for (size_t i = 0; i < asked.size() && i < ended.size(); ++i) {
    if (!ended[i]) continue;
    RunEnded(*asked[i], now);
    changed = true;
  }
  // Started after the look at every plan, each only if it is still planned by then.
  std::vector<uint64_t> due;
  for (const auto& plan : plans_) {
    if (Due(*plan) && plan->due_at <= now) due.push_back(plan->id);
  }
  std::erase_if(plans_, [](const auto& plan) { return Finished(*plan); });
  for (const uint64_t id : due) {
    Plan* const plan = Planned(id);
    if (plan != nullptr) StartAgain(*plan, now);
    changed = changed || plan != nullptr;
  }
  std::erase_if(plans_, [](const auto& plan) { return Finished(*plan); });
  UpdateTimer();
  if (changed && changed_) changed_();
}

void RestartPlans::UpdateTimer() {
  // Woken only when there is something to do: a start that is due, or a run to ask about.
  const int64_t now = loop_.NowMilliseconds();
  std::optional<int64_t> next;
  for (const auto& plan : plans_) {
    if (plan->id == starting_) continue;  // its start returns to it
    std::optional<int64_t> at;
    if (plan->run && !plan->watch) {
      at = now + kCheckMs;
    } else if (Due(*plan)) {
      at = std::max(plan->due_at, now);
    }
    if (at && (!next || *at < *next)) next = at;
  }
  if (!next) {
    timer_->SetEnabled(false);
    return;
  }
  timer_->SetEnabled(false);
  timer_->SetInterval(static_cast<int>(std::max<int64_t>(*next - now, 1)));
  timer_->SetEnabled(true);
}

}  // namespace varnix
