// Programs started with a restart policy, started again when they end, with a back-off.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/process_table.h"

namespace varnix {

enum class RestartPolicy { kNo, kOnFailure, kAlways };

// "no", "on-failure" or "always", in lower case; nothing for any other text.
std::optional<RestartPolicy> RestartPolicyFromText(std::string_view lower);

// What a start request asked for, kept to ask for it again.
struct StartRequest {
  std::string path;
  std::string title;
  std::string parameter;
  std::string window;
  std::string priority;
  std::string source;  // who asked for it
};

class RestartPlans {
 public:
  // Starts the program as a start request does, report included; returns its id, 0 when it
  // could not be started.
  using Starter = std::function<ProcessId(const StartRequest&)>;

  // How often the held programs are asked whether they have ended, while any plan exists.
  static constexpr int kCheckMs = 250;
  static constexpr int kFirstDelaySeconds = 1;
  static constexpr int kLongestDelaySeconds = 60;
  // A run this long was healthy: the next delay starts again from the first.
  static constexpr int64_t kHealthyRunMs = 60000;

  RestartPlans(EventLoop& loop, ProcessTable& table, Starter start);

  // Keeps `pid`, just started for `request`, running as `policy` says. A plan for the same
  // path is replaced; kNo, or a start that failed (pid 0), only drops it.
  void Follow(const StartRequest& request, RestartPolicy policy, ProcessId pid);
  // A stop request for `path` ends its restarting.
  void Forget(const std::string& path);
  size_t size() const { return plans_.size(); }

 private:
  struct Plan {
    StartRequest request;
    RestartPolicy policy = RestartPolicy::kNo;
    std::unique_ptr<ProcessHandle> run;  // the run being watched; none while one is due
    int64_t started_at = 0;
    int delay_seconds = kFirstDelaySeconds;
    int64_t due_at = 0;  // when the next run starts, while `run` is empty
  };

  void Check();
  // Starts the plan's program again now; on failure it is due again after the next delay.
  void StartAgain(Plan& plan, int64_t now);
  void ScheduleAfter(Plan& plan, int64_t now);
  void UpdateTimer();

  EventLoop& loop_;
  ProcessTable& table_;
  Starter start_;
  std::vector<std::unique_ptr<Plan>> plans_;
  std::unique_ptr<Timer> timer_;
};

}  // namespace varnix
