// The node's hands on programs: start, find, close politely, kill, prioritise and query them.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/failure.h"
#include "platform/desktop.h"
#include "platform/event_loop.h"
#include "platform/file_system.h"
#include "platform/process_table.h"
#include "supervision/status.h"

namespace varnix {

// The priority names requests use, and back.
std::optional<PriorityClass> PriorityFromName(const std::string& name);
std::string PriorityName(PriorityClass priority);

class ProcessOperations {
 public:
  // Polls while a program closes, and how many of them.
  static constexpr int kPollMs = 100;
  static constexpr int kPolls = 50;
  // How long a start waits, at most, for a program that ends at once, and in what steps.
  static constexpr int kFirstSecondMs = 1000;
  static constexpr int kFirstSecondPollMs = 20;

  ProcessOperations(ProcessTable& table, Desktop& desktop, FileSystem& files, EventReport& events,
                    EventLoop& loop, std::string OSLabel, PathRules paths);

  // The id of the started program, or (with `reuse_running`) of the running program of the
  // same file name; 0 when the file does not exist or the start failed. A program it starts
  // has had its first second, or has ended within it: so a report of it says how it ended,
  // where one made at once would tell a program that failed straight away as running.
  // `spawned` is told the new process as soon as it exists, before that second: what must
  // outlive a crash of the node (the promise to keep it) is kept by then. Without
  // `first_second` it returns at once: for starts nobody waits on in order (a plan's, the
  // boot's), whose ends the end watches tell, so that many go side by side.
  ProcessId StartProcess(const std::string& path, const std::string& parameter,
                         const std::string& window, const std::string& priority,
                         const LaunchSettings& launch = {}, bool reuse_running = true,
                         const std::function<void(ProcessId)>& spawned = nullptr,
                         bool first_second = true);
  // The file a start of `path` runs: a bare name is looked up as the system's own Run box or
  // shell would; anything else, or a name found nowhere, is `path` itself.
  std::string ProgramFile(const std::string& path);
  // Why the last start started nothing ("no such file", the system's reason); "" when it did.
  const std::string& LastStartFailure() const { return last_start_failure_; }
  // The file that runs in place of the last start's, when that start found a program of the
  // same file name running and so started nothing; "" when it started one.
  const std::string& LastStartFoundRunning() const { return last_start_found_running_; }
  // The running program that a request's `path` names: the one that runs that very file, or
  // where none does and the file exists, the first of the same whole file name; 0 when none.
  ProcessId FindProgram(const std::string& path, bool any_folder = true);
  // The path of the file that a start of `path` would run: on POSIX with its links followed,
  // when the file exists; otherwise `path` itself.
  std::string PathAsRun(const std::string& path);
  // True when the program is gone, or nothing of it ran. `followed` is the process the
  // request's record follows, if any: stopped when nothing else names the program. It is
  // read before the first wait only.
  // A program without a window is sent `signal` and given `polite_ms` to end before it is
  // ended by force.
  bool StopProcess(const std::string& path, const std::string& title,
                   const ProcessHandle* followed = nullptr,
                   EndSignal signal = EndSignal::kTerminate, int polite_ms = kPollMs * kPolls);
  // Whether the last stop had to end its program by force.
  bool LastStopForced() const { return last_stop_forced_; }
  void QueryProcess(Status& record);
  void fChangeProcessPriority(const std::string& target, const std::string& priority);

  ProcessId GetPIDFromTitle(const std::string& fragment);
  ProcessId GetPIDFromName(const std::string& name);
  WindowHandle FindWindowByTitle(const std::string& fragment);
  WindowHandle FindWindowLike(const std::string& fragment, std::string& className);
  WindowHandle InstanceToWnd(ProcessId pid);
  std::string fGetCaption(WindowHandle window);
  std::string fGetClassName(WindowHandle window);
  bool fCloseApp(WindowHandle window);
  bool waitForNoWindow(const std::string& title, int polls = kPolls);
  bool Kill(ProcessId pid);
  // Ends the held process (and what it started, when the node started it); never another
  // that has taken its id.
  bool Kill(const ProcessHandle& held);
  std::string filename(const std::string& path);
  std::string ProcessName(const std::string& path);

  PathRules paths() const { return paths_; }
  EventLoop& loop() { return loop_; }
  ProcessTable& table() { return table_; }
  FileSystem& files() { return files_; }
  // The node is on its way out: nothing new is started, nobody killed.
  bool NodeEnding() const { return Ending(); }

 private:
  // Polls until the process itself has ended, for at most `polls` polls; true when it did in
  // time.
  bool waitForNoProcess(ProcessId pid, int polls = kPolls);
  bool waitForNoProcess(const ProcessHandle& held, int polls = kPolls);
  // Waits, dispatching, while the program just started runs in its first second.
  void WaitThroughFirstSecond(ProcessId pid);
  // A file name as the process table lists it.
  std::string ListedName(const std::string& name) const;
  // Whether `pid` still runs the record's program: its file, or a window with its title.
  bool IsRecordsProgram(const Status& record, ProcessId pid);
  // The node has been asked to end: waits return at once and nothing more is forced.
  bool Ending() const { return loop_.Quitting(); }
  // A numbered-step runner whose failures are reported under `name`.
  auto StepsFor(const char* name);

  ProcessTable& table_;
  Desktop& desktop_;
  FileSystem& files_;
  EventReport& events_;
  EventLoop& loop_;
  std::string OSLabel_;
  PathRules paths_;
  bool last_stop_forced_ = false;
  std::string last_start_failure_;
  std::string last_start_found_running_;
};

}  // namespace varnix
