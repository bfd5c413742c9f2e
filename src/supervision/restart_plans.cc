// RestartPlans: every held run asked at once, each ended one started again after its delay.
#include "supervision/restart_plans.h"

#include <algorithm>

#include "core/steps.h"

namespace varnix {

std::optional<RestartPolicy> RestartPolicyFromText(std::string_view lower) {
  if (lower == "no") return RestartPolicy::kNo;
  if (lower == "on-failure") return RestartPolicy::kOnFailure;
  if (lower == "always") return RestartPolicy::kAlways;
  return std::nullopt;
}

RestartPlans::RestartPlans(EventLoop& loop, ProcessTable& table, Starter start)
    : loop_(loop),
      table_(table),
      start_(std::move(start)),
      timer_(loop.CreateTimer([this] { Check(); })) {}

void RestartPlans::Follow(const StartRequest& request, RestartPolicy policy, ProcessId pid) {
  Forget(request.path);
  // A program that could not be started at all is not tried again and again.
  if (policy == RestartPolicy::kNo || pid == 0) return;
  auto plan = std::make_unique<Plan>();
  plan->request = request;
  plan->policy = policy;
  plan->started_at = loop_.NowMilliseconds();
  Quietly([&] { plan->run = table_.Hold(pid); });
  if (!plan->run) ScheduleAfter(*plan, plan->started_at);  // gone already: start it again
  plans_.push_back(std::move(plan));
  UpdateTimer();
}

void RestartPlans::Forget(const std::string& path) {
  std::erase_if(plans_, [&](const auto& plan) { return plan->request.path == path; });
  UpdateTimer();
}

void RestartPlans::ScheduleAfter(Plan& plan, int64_t now) {
  plan.run.reset();
  if (now - plan.started_at >= kHealthyRunMs) plan.delay_seconds = kFirstDelaySeconds;
  plan.due_at = now + int64_t{plan.delay_seconds} * 1000;
  plan.delay_seconds = std::min(plan.delay_seconds * 2, kLongestDelaySeconds);
}

void RestartPlans::StartAgain(Plan& plan, int64_t now) {
  ProcessId pid = 0;
  Quietly([&] { pid = start_(plan.request); });
  plan.started_at = now;
  if (pid != 0) Quietly([&] { plan.run = table_.Hold(pid); });
  if (!plan.run) ScheduleAfter(plan, now);
}

void RestartPlans::Check() {
  const int64_t now = loop_.NowMilliseconds();
  std::vector<const ProcessHandle*> runs;
  for (const auto& plan : plans_) {
    if (plan->run) runs.push_back(plan->run.get());
  }
  std::vector<bool> ended;
  Quietly([&] { ended = table_.HaveEnded(runs); });
  size_t next = 0;
  // Started after the look at every plan, each only if it is still planned by then.
  std::vector<Plan*> due;
  for (const auto& plan : plans_) {
    if (plan->run) {
      if (next >= ended.size() || !ended[next++]) continue;
      std::optional<ExitStatus> how;
      Quietly([&] { how = table_.HowEnded(*plan->run); });
      // Not knowing how it ended is taken for a failure: it is not running, and was meant to.
      const bool failed = !how || how->code.value_or(0) != 0 || !how->signal.empty();
      if (plan->policy == RestartPolicy::kAlways || failed) {
        ScheduleAfter(*plan, now);
      } else {
        plan->policy = RestartPolicy::kNo;  // ended well: nothing more to do
      }
    } else if (plan->policy != RestartPolicy::kNo && plan->due_at <= now) {
      due.push_back(plan.get());
    }
  }
  std::erase_if(plans_, [](const auto& plan) { return plan->policy == RestartPolicy::kNo; });
  for (Plan* plan : due) {
    const bool still_planned = std::any_of(plans_.begin(), plans_.end(),
                                           [&](const auto& kept) { return kept.get() == plan; });
    if (still_planned) StartAgain(*plan, now);
  }
  UpdateTimer();
}

void RestartPlans::UpdateTimer() {
  if (plans_.empty()) {
    timer_->SetEnabled(false);
  } else if (!timer_->Enabled()) {
    timer_->SetInterval(kCheckMs);
    timer_->SetEnabled(true);
  }
}

}  // namespace varnix
