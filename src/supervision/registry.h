// The registry of supervised programs, its ten-second pass, and the reports it sends.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "supervision/process_operations.h"
#include "supervision/status.h"
#include "xap/outgoing_queue.h"

namespace varnix {

class ProcessRegistry {
 public:
  // Far beyond what one computer's programs need; a bound so that strangers' queries of
  // made-up paths cannot grow the node without end.
  static constexpr size_t kDefaultMaxRecords = 1000;
  static constexpr int64_t kFullSaidEveryMs = 60000;

  ProcessRegistry(ProcessOperations& operations, OutgoingQueue& queue, EventReport& events,
                  ErrorLog& log, size_t max_records = kDefaultMaxRecords)
      : operations_(operations),
        queue_(queue),
        events_(events),
        log_(log),
        max_records_(max_records) {}

  // A new record, not yet in the list.
  std::unique_ptr<Status> NewStatus() const {
    return std::make_unique<Status>(operations_.table(), operations_.paths(),
                                    [&operations = operations_](const std::string& path) {
                                      return operations.PathAsRun(path);
                                    });
  }

  bool ProcessAlive(Status& record);
  // Whether each record's program still runs, in the list's order.
  std::vector<bool> AllAlive();
  // Finds which programs still run, reports the ended ones once and the auto-reported ones.
  void SupervisionPass();
  // `source` asked for the start; it is named if the registry is full. `found_running` is the
  // file that runs when the start found a program running and started nothing.
  void UpdateStartedProcess(const std::string& Path, int32_t PID, const std::string& Title,
                            std::string_view source = "the node",
                            const std::string& found_running = "", const std::string& name = "");
  // Called with each record whose program has ended, and the id it had, before the end is
  // reported: what the end means beyond the record (a plan that gives up) is told with it.
  void OnEnd(std::function<void(Status&, ProcessId)> on_end) { on_end_ = std::move(on_end); }
  // Called once with each running record whose relay has ended, so that its output is no
  // longer kept; the record says so in its reports from then on.
  void OnRelayGone(std::function<void(Status&)> gone) { on_relay_gone_ = std::move(gone); }
  void SendNotification(Status& record);
  // Appends `record` when there is room, made if need be by dropping the oldest record that
  // serves nothing (not auto-reported, its program not running). Returns the record added;
  // nullptr when it was not, and `record` is still the caller's (to report from, say). A full
  // registry is said in the log and as an event, at most once a minute. A program the node
  // started is `always` added, beyond the bound if it must: its end is owed a report, and on
  // some systems the record's hold is what reaps it.
  Status* Add(std::unique_ptr<Status>& record, std::string_view action, std::string_view source,
              bool always = false);

  // In the order records were appended; no keys, no uniqueness.
  std::vector<std::unique_ptr<Status>>& ProcessList() { return ProcessList_; }

  // Waits on the end of every program a record follows where the system lets the loop wait on
  // it, so that an end is told (and a child of ours collected) as it comes, not at the next
  // pass. Called after anything that may change which process a record follows.
  void WatchEnds();
  // Calls WatchEnds as it goes out of scope, however the scope is left.
  struct Rewatch {
    ProcessRegistry& registry;
    ~Rewatch() { registry.WatchEnds(); }
  };
  // A stop is waiting for the end of the process held by `handle`, and tells it itself;
  // nullptr when none is.
  void Stopping(const ProcessHandle* handle) { stopping_ = handle; }

 private:
  // Whether `record`'s relay has just been found ended; told to on_relay_gone_ once.
  bool RelayGone(Status& record);
  ProcessOperations& operations_;
  OutgoingQueue& queue_;
  EventReport& events_;
  ErrorLog& log_;
  size_t max_records_;
  std::function<void(Status&, ProcessId)> on_end_;
  std::function<void(Status&)> on_relay_gone_;
  std::optional<int64_t> full_said_at_;  // on the loop's clock, in ms
  std::vector<std::unique_ptr<Status>> ProcessList_;

  // The end of `which`'s process, held by `handle`, has come: told once, unless it is no
  // longer that record's process.
  void EndCame(const Status* which, const ProcessHandle* handle);
  struct EndWatched {
    const ProcessHandle* handle;
    std::unique_ptr<EndWatch> watch;
  };
  // After the records: the watches go first.
  std::map<const Status*, EndWatched> ends_;
  const ProcessHandle* stopping_ = nullptr;
};

}  // namespace varnix
