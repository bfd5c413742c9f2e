// A process table and a desktop in memory, whose programs and windows behave as each test sets.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_event_loop.h"
#include "platform/desktop.h"
#include "platform/error.h"
#include "platform/process_table.h"

namespace varnix {

class FakeProcessTable : public ProcessTable {
 public:
  struct Process {
    std::string name;
    std::string path;  // the program file, where the test or a start says
    bool alive = true;
    PriorityClass priority = PriorityClass::kNormal;
    bool ends_on_request = true;  // a polite close ends it
    bool killable = true;
    std::optional<ExitStatus> exit;  // how it ended, once it has, where the system tells
    uint64_t instance = 0;           // which process holds the id
  };

  class Handle : public ProcessHandle {
   public:
    Handle(ProcessId pid, uint64_t held) : instance(held), pid_(pid) {}
    ProcessId pid() const override { return pid_; }
    const uint64_t instance;

   private:
    ProcessId pid_;
  };

  ProcessId Add(const std::string& name) { return Place(next_pid_++, name); }
  // A new process that the system has given the id of one that ended.
  ProcessId Reuse(ProcessId pid, const std::string& name) {
    if (processes.count(pid) != 0 && processes[pid].exit) {
      earlier_exits_[processes[pid].instance] = *processes[pid].exit;
    }
    return Place(pid, name);
  }

  std::unique_ptr<ProcessHandle> Hold(ProcessId pid) override {
    if (!IsAlive(pid)) return nullptr;
    return std::make_unique<Handle>(pid, processes[pid].instance);
  }
  std::vector<bool> HaveEnded(const std::vector<const ProcessHandle*>& handles) override {
    ++ended_asks;
    std::vector<bool> ended;
    for (const ProcessHandle* handle : handles) ended.push_back(!Holds(*handle));
    return ended;
  }
  std::optional<ExitStatus> HowEnded(const ProcessHandle& handle) override {
    if (Holds(handle)) return std::nullopt;
    const uint64_t instance = static_cast<const Handle&>(handle).instance;
    const auto found = processes.find(handle.pid());
    if (found != processes.end() && found->second.instance == instance) return found->second.exit;
    const auto earlier = earlier_exits_.find(instance);
    if (earlier == earlier_exits_.end()) return std::nullopt;
    return earlier->second;
  }
  bool Terminate(const ProcessHandle& handle) override {
    if (!Holds(handle)) return false;
    return Terminate(handle.pid());
  }

  ProcessId FindByName(const std::string& image_name) override {
    names_asked.push_back(image_name);
    for (const auto& [pid, process] : processes) {
      if (process.alive && process.name == image_name) return pid;
    }
    return 0;
  }
  ProcessId FindByPath(const std::string& path, const std::string& image_name) override {
    for (const auto& [pid, process] : processes) {
      if (process.alive && process.name == image_name && process.path == path) return pid;
    }
    return 0;
  }
  ProcessId FindByFileName(const std::string& file_name) override { return FindByName(file_name); }
  ProcessId Start(const std::string& path, const std::string& parameter, ShowState show,
                  const LaunchSettings& launch) override {
    launches.push_back(launch);
    started.push_back(path + "|" + parameter + "|" + std::to_string(static_cast<int>(show)));
    const ProcessId pid = Add(path.substr(path.find_last_of("/\\") + 1));
    processes[pid].path = path;
    if (!launch.relay.program.empty()) relays_lost[pid] = false;
    return pid;
  }
  bool RelayLost(ProcessId program) override {
    const auto found = relays_lost.find(program);
    return found != relays_lost.end() && found->second;
  }
  std::string LookUpProgram(const std::string& name) override {
    const auto found = on_path.find(name);
    return found == on_path.end() ? "" : found->second;
  }
  uint64_t StartedAt(ProcessId pid) override { return IsAlive(pid) ? processes[pid].instance : 0; }
  std::string ProgramPath(ProcessId pid) override {
    return IsAlive(pid) ? processes[pid].path : "";
  }
  bool IsAlive(ProcessId pid) override {
    const auto found = processes.find(pid);
    return found != processes.end() && found->second.alive;
  }
  std::optional<PriorityClass> GetPriority(ProcessId pid) override {
    if (!IsAlive(pid)) return std::nullopt;
    return processes[pid].priority;
  }
  bool SetPriority(ProcessId pid, PriorityClass priority) override {
    if (!IsAlive(pid)) return false;
    processes[pid].priority = priority;
    return true;
  }
  bool Terminate(ProcessId pid) override {
    ++terminations;
    if (!IsAlive(pid) || !processes[pid].killable) return false;
    processes[pid].alive = false;
    return true;
  }
  std::string ImageName(ProcessId pid) override { return IsAlive(pid) ? processes[pid].name : ""; }
  void RequestClose(ProcessId pid, EndSignal signal) override {
    close_signals.push_back(signal);
    if (IsAlive(pid) && processes[pid].ends_on_request) processes[pid].alive = false;
  }
  WaitResult WaitForExit(ProcessId pid, int milliseconds) override {
    waits.push_back(milliseconds);
    if (processes.count(pid) == 0) return WaitResult::kCannotWait;
    return IsAlive(pid) ? WaitResult::kTimedOut : WaitResult::kEnded;
  }
  uint64_t WorkingSetBytes(ProcessId pid) override { return IsAlive(pid) ? 1048576 * pid : 0; }
  std::optional<ProcessTimes> Times(ProcessId pid) override {
    if (!IsAlive(pid)) return std::nullopt;
    return ProcessTimes{};
  }

  std::map<ProcessId, Process> processes;
  std::vector<std::string> names_asked;
  std::vector<std::string> started;
  std::vector<LaunchSettings> launches;        // each start's, in order
  std::map<ProcessId, bool> relays_lost;       // each relayed program's: whether it was lost
  std::vector<EndSignal> close_signals;        // each polite close's
  std::map<std::string, std::string> on_path;  // bare name: the file LookUpProgram finds
  int terminations = 0;
  int ended_asks = 0;
  std::vector<int> waits;

 private:
  ProcessId Place(ProcessId pid, const std::string& name) {
    Process process;
    process.name = name;
    process.instance = next_instance_++;
    processes[pid] = process;
    return pid;
  }
  // The handle's own process, still running.
  bool Holds(const ProcessHandle& handle) {
    const auto found = processes.find(handle.pid());
    return found != processes.end() && found->second.alive &&
           found->second.instance == static_cast<const Handle&>(handle).instance;
  }

  ProcessId next_pid_ = 100;
  uint64_t next_instance_ = 1;
  std::map<uint64_t, ExitStatus> earlier_exits_;  // of processes whose id was given again
};

// Windows belong to processes of the fake table and go with them; a window asked to close
// goes `close_after_ms` later on the fake loop's clock, or never when that is negative.
class FakeDesktop : public Desktop {
 public:
  struct Window {
    WindowHandle handle;
    std::string caption;
    std::string class_name;
    ProcessId pid;
    bool visible = true;
    WindowHandle parent = 0;
    int close_after_ms = 0;
    int64_t close_asked_at = -1;
  };

  FakeDesktop(FakeEventLoop& loop, FakeProcessTable& table) : loop_(loop), table_(table) {}

  WindowHandle Add(const std::string& caption, ProcessId pid, int close_after_ms = 0) {
    windows_.push_back(
        Window{next_handle_, caption, "Class" + caption, pid, true, 0, close_after_ms});
    return next_handle_++;
  }
  Window& window(WindowHandle handle) {
    return *std::find_if(windows_.begin(), windows_.end(),
                         [&](const Window& w) { return w.handle == handle; });
  }

  std::vector<WindowHandle> TopLevelWindows() override {
    std::vector<WindowHandle> handles;
    for (const Window& w : windows_) {
      if (Exists(w)) handles.push_back(w.handle);
    }
    return handles;
  }
  std::string Caption(WindowHandle h) override { return Find(h) ? Find(h)->caption : ""; }
  std::string ClassName(WindowHandle h) override { return Find(h) ? Find(h)->class_name : ""; }
  ProcessId OwnerPid(WindowHandle h) override { return Find(h) ? Find(h)->pid : 0; }
  bool IsVisible(WindowHandle h) override { return Find(h) && Find(h)->visible; }
  WindowHandle Parent(WindowHandle h) override { return Find(h) ? Find(h)->parent : 0; }
  bool IsWindow(WindowHandle h) override { return Find(h) != nullptr; }
  void PostClose(WindowHandle h) override {
    closes_posted.push_back(h);
    if (Window* w = Find(h); w != nullptr && w->close_asked_at < 0) w->close_asked_at = loop_.now();
  }
  ProcessId ShellPid() override { return shell_pid; }
  std::string TurnScreensOff() override { return ""; }

  std::vector<WindowHandle> closes_posted;
  ProcessId shell_pid = 0;

 private:
  bool Exists(const Window& w) {
    if (w.pid != 0 && !table_.IsAlive(w.pid)) return false;
    return w.close_asked_at < 0 || w.close_after_ms < 0 ||
           loop_.now() < w.close_asked_at + w.close_after_ms;
  }
  Window* Find(WindowHandle h) {
    for (Window& w : windows_) {
      if (w.handle == h && Exists(w)) return &w;
    }
    return nullptr;
  }

  FakeEventLoop& loop_;
  FakeProcessTable& table_;
  std::vector<Window> windows_;
  WindowHandle next_handle_ = 0x1000;
};

}  // namespace varnix
