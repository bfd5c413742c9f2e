// Programs kept running: started again when they end, with a spread back-off, until a stop, or
// until they fail too quickly too often.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/process_table.h"
#include "settings/declared_programs.h"

namespace varnix {

// What a start request asked for, kept to ask for it again.
struct StartRequest {
  std::string path;
  std::string title;
  std::string parameter;
  std::string window;
  std::string priority;
  std::string source;  // who asked for it
  std::string name;    // the declared program's name; "" for a program asked for by path
  std::string folder;  // its working folder; "" for the node's own
  // The program's one key, in every table: "name:" and its declared name in lower case, else
  // "file:" and the key of the file its path runs. Made by whoever takes the request; kept
  // nowhere, as it follows from the rest.
  std::string key;
  // A declared program's own settings; a request from the network has these defaults.
  std::vector<std::string> environment{};  // NAME=value over the node's own
  std::string user{};                      // "" for the node's own
  std::vector<int> exit_codes{0};          // the codes that count as a success
  int start_seconds = 10;                  // a run shorter than this was a quick end
  int give_up_after = 5;                   // quick ends in a row before giving up; 0 for never
};

// How a program ended, in a word or two: "exit 3", "SIGSEGV", "an unknown end".
std::string EndWords(const std::optional<ExitStatus>& how);

class RestartPlans {
 public:
  // Starts the program as a start request does, report included, for a plan of `policy`;
  // returns its id, 0 when it could not be started.
  using Starter = std::function<ProcessId(const StartRequest&, RestartPolicy)>;
  // Told when a plan gives up, with the words of its event ("Backup: gave up after 5 starts
  // in 42 s (exit 3)"); and whenever the plans change, for whoever keeps them on disk.
  using GaveUp = std::function<void(const StartRequest&, const std::string& words)>;
  using Changed = std::function<void()>;

  // How often runs the system cannot wake the loop for are asked whether they have ended.
  static constexpr int kCheckMs = 250;
  static constexpr int kFirstDelaySeconds = 1;
  static constexpr int kLongestDelaySeconds = 60;
  // Each delay is spread by up to this share either way, so that programs do not restart in step.
  static constexpr double kSpread = 0.2;
  // A run that lasts the request's start_seconds was healthy: the next delay starts again
  // from the first. Only quick ends grow it, and give_up_after of them in a row give up.

  // One plan as it stands, for a list and for the file that keeps them.
  struct View {
    StartRequest request;
    RestartPolicy policy = RestartPolicy::kNo;
    ProcessId pid = 0;  // 0 while a start is due, or after giving up
    int restarts = 0;   // starts since the plan was made, the first not counted
    int64_t since_unix = 0;
    bool gave_up = false;
    bool done = false;  // a declared program's run ended, and nothing follows in this boot
    std::optional<ExitStatus> last_end;
    bool stale = false;  // the run goes on with settings the program is no longer declared with
  };

  RestartPlans(EventLoop& loop, ProcessTable& table, Starter start, GaveUp gave_up = nullptr,
               Changed changed = nullptr);

  // Keeps `pid`, just started for `request`, running as `policy` says. A plan for the same
  // key is replaced; a start that failed (pid 0) only drops it. A declared program's run is
  // followed under kNo too, so that what ran in this boot is known; another's is not.
  void Follow(const StartRequest& request, RestartPolicy policy, ProcessId pid);
  // Keeps a program that was running before this node started (`pid`), as Follow does; where
  // it no longer runs, the plan starts it as its policy says, not knowing how it ended.
  void Adopt(const StartRequest& request, RestartPolicy policy, ProcessId pid);
  // A declared program that the last node saw end in this boot, for good (`gave_up` false) or
  // given up: known as such, and not started again until asked.
  void Remember(const StartRequest& request, RestartPolicy policy, bool gave_up,
                const std::optional<ExitStatus>& last_end);
  // The run the plan of `key` follows was started with other settings than its request's (a
  // program declared anew while no node ran): so said until its next start.
  void MarkStale(const std::string& key);
  // A stop request for the program of `key` ends its restarting.
  void Forget(const std::string& key);
  // Whether the plan for `key` gave up with the end of process `pid`, and then how its last run
  // ended (in `last_end`); an end the plans have not seen yet is taken into account first, so
  // that its report can say so.
  bool GaveUpOn(const std::string& key, ProcessId pid, std::optional<ExitStatus>* last_end);
  // The process of the plan's own run while it runs; 0 for none. Never a namesake's.
  ProcessId RunOf(const std::string& key);
  bool Has(const std::string& key) const { return Find(key) != nullptr; }
  std::vector<View> Plans() const;
  size_t size() const { return plans_.size(); }

 private:
  struct Plan {
    uint64_t id = 0;  // never another plan's, as its address may come to be
    StartRequest request;
    RestartPolicy policy = RestartPolicy::kNo;
    std::unique_ptr<ProcessHandle> run;  // the run being watched; none while one is due
    std::unique_ptr<EndWatch> watch;     // the system's word of its end, where it gives one
    ProcessId pid = 0;
    int64_t started_at = 0;
    int delay_seconds = kFirstDelaySeconds;
    int64_t due_at = 0;  // when the next run starts, while `run` is empty
    int quick_ends = 0;  // runs in a row that ended within the request's start_seconds
    int64_t quick_since = 0;
    int restarts = 0;
    int64_t since_unix = 0;
    bool gave_up = false;
    bool done = false;
    std::optional<ExitStatus> last_end;
    bool told_in_start = false;  // the run being started ended before its report, and was seen
    bool stale = false;
  };

  Plan* Find(const std::string& key) const;
  // Nothing more to do, and nobody asks after it: a run not of a declared program that ended.
  static bool Finished(const Plan& plan) { return plan.done && plan.request.name.empty(); }
  // A start is owed to the plan.
  static bool Due(const Plan& plan) { return !plan.run && !plan.gave_up && !plan.done; }
  // The plan of that id, while it is planned; nullptr once it is forgotten or replaced.
  Plan* Planned(uint64_t id);
  // Watches `pid` as the plan's run; false when it is gone already.
  bool Hold(Plan& plan, ProcessId pid);
  // The plan's run has ended: schedules the next, ends the plan, or gives up.
  void RunEnded(Plan& plan, int64_t now);
  void Check();
  // Starts the plan's program again now; on failure it is due again after the next delay.
  void StartAgain(Plan& plan, int64_t now);
  void ScheduleAfter(Plan& plan, int64_t now);
  void UpdateTimer();
  // A new plan for the request's key, in place of any earlier one.
  Plan& Make(const StartRequest& request, RestartPolicy policy);
  // After a change: ended plans go, the timer is set anew, and whoever keeps them is told.
  void Settle();

  EventLoop& loop_;
  ProcessTable& table_;
  Starter start_;
  GaveUp gave_up_;
  Changed changed_;
  std::vector<std::unique_ptr<Plan>> plans_;
  std::unique_ptr<Timer> timer_;
  std::minstd_rand spread_;
  uint64_t next_id_ = 1;
  uint64_t starting_ = 0;  // the plan whose program is being started again, during the start
};

}  // namespace varnix
