// ProcessOperations: the stop sequence, the window walks and the look-ups, in numbered steps.
#include "supervision/process_operations.h"

#include <algorithm>

#include "core/cwait_n_dispatch.h"
#include "core/steps.h"
#include "core/text.h"
#include "platform/text_encoding.h"
#include "settings/access_rules.h"
#include "settings/ini_tool.h"
#include "supervision/process_names.h"
#include "xap/xap_message.h"

namespace varnix {
namespace {

constexpr char kUnknownText[] = "Unknown";

struct NamedPriority {
  const char* name;
  PriorityClass priority;
};
constexpr NamedPriority kPriorities[] = {
    {"REALTIME", PriorityClass::kRealtime},        {"HIGH", PriorityClass::kHigh},
    {"ABOVE_NORMAL", PriorityClass::kAboveNormal}, {"NORMAL", PriorityClass::kNormal},
    {"BELOW_NORMAL", PriorityClass::kBelowNormal}, {"LOW", PriorityClass::kIdle},
};

bool IsWholeNumber(const std::string& text) {
  const std::string trimmed(TrimSpaces(text));
  return !trimmed.empty() && trimmed.size() <= 10 &&
         std::all_of(trimmed.begin(), trimmed.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<PriorityClass> PriorityFromName(const std::string& name) {
  const std::string wanted = UpperCase(TrimSpaces(name));
  for (const NamedPriority& p : kPriorities) {
    if (wanted == p.name) return p.priority;
  }
  return std::nullopt;
}

std::string PriorityName(PriorityClass priority) {
  for (const NamedPriority& p : kPriorities) {
    if (priority == p.priority) return p.name;
  }
  return kUnknownText;
}

ProcessOperations::ProcessOperations(ProcessTable& table, Desktop& desktop, FileSystem& files,
                                     EventReport& events, EventLoop& loop, std::string OSLabel,
                                     PathRules paths)
    : table_(table),
      desktop_(desktop),
      files_(files),
      events_(events),
      loop_(loop),
      OSLabel_(std::move(OSLabel)),
      paths_(paths) {}

auto ProcessOperations::StepsFor(const char* name) {
  return Steps(
      [this, name](const Failure& failure) { events_.SendErrorEvent(kLogType, name, failure); });
}

std::string ProcessOperations::fGetCaption(WindowHandle window) {
  std::string caption;
  StepsFor("fGetCaption")(10, [&] { caption = desktop_.Caption(window); });
  return caption;
}

std::string ProcessOperations::fGetClassName(WindowHandle window) {
  std::string name;
  StepsFor("fGetClassName")(10, [&] { name = desktop_.ClassName(window); });
  return name;
}

WindowHandle ProcessOperations::FindWindowByTitle(const std::string& fragment) {
  WindowHandle found = 0;
  // A window that vanished mid-walk is no reason to report.
  Quietly([&] {
    for (const WindowHandle window : desktop_.TopLevelWindows()) {
      const std::string caption = desktop_.Caption(window);
      if (!caption.empty() && ContainsIgnoringCase(caption, fragment)) {
        found = window;
        return;
      }
    }
  });
  return found;
}

WindowHandle ProcessOperations::FindWindowLike(const std::string& fragment,
                                               std::string& className) {
  for (const WindowHandle window : desktop_.TopLevelWindows()) {
    const std::string caption = fGetCaption(window);
    if (caption.empty() || !ContainsIgnoringCase(caption, fragment)) continue;
    className = fGetClassName(window);
    return window;
  }
  return 0;
}

WindowHandle ProcessOperations::InstanceToWnd(ProcessId pid) {
  WindowHandle found = 0;
  // Windows whose owner is unknown say 0: no process, and so no stop, may claim them.
  if (pid == 0) return found;
  StepsFor("InstanceToWnd")(10, [&] {
    for (const WindowHandle window : desktop_.TopLevelWindows()) {
      if (desktop_.Parent(window) == 0 && desktop_.OwnerPid(window) == pid) {
        found = window;
        return;
      }
    }
  });
  return found;
}

ProcessId ProcessOperations::GetPIDFromTitle(const std::string& fragment) {
  ProcessId pid = 0;
  StepsFor("GetPIDFromTitle")(10, [&] {
    const WindowHandle window = FindWindowByTitle(fragment);
    if (window != 0) pid = desktop_.OwnerPid(window);
  });
  return pid;
}

std::string ProcessOperations::ListedName(const std::string& name) const {
  // Windows from XP on lists whole names; the older systems, and Linux's process names, keep
  // only the first 15 characters.
  static const char* const kCut[] = {"Linux", "W2K", "NT", "ME", "W98", "W95"};
  const bool cut = std::any_of(std::begin(kCut), std::end(kCut),
                               [&](const char* label) { return OSLabel_ == label; });
  return cut ? name.substr(0, 15) : name;
}

ProcessId ProcessOperations::GetPIDFromName(const std::string& name) {
  ProcessId pid = 0;
  Quietly([&] { pid = table_.FindByName(ListedName(name)); });
  return pid;
}

ProcessId ProcessOperations::FindProgram(const std::string& path, bool any_folder) {
  ProcessId pid = 0;
  Quietly([&] {
    // The program that runs that very file; where none does (and `any_folder`), one of its
    // whole file name in any folder, but only for a file that is there: a made-up path names
    // nothing that runs.
    // Named as the file runs, or, started through a link, as the link: the system lists the
    // name it was started by.
    const std::string run = PathAsRun(path);
    const std::string name = filename(run);
    pid = table_.FindByPath(LexicallyNormal(run, paths_), ListedName(name));
    if (pid == 0 && filename(path) != name) {
      pid = table_.FindByPath(LexicallyNormal(run, paths_), ListedName(filename(path)));
    }
    if (pid == 0 && any_folder && files_.FileExists(path)) pid = table_.FindByFileName(name);
  });
  return pid;
}

std::string ProcessOperations::filename(const std::string& path) {
  return varnix::filename(path, paths_);
}

std::string ProcessOperations::ProcessName(const std::string& path) {
  std::string name = path;
  StepsFor("ProcessName")(10, [&] { name = varnix::ProcessName(path, paths_); });
  return name;
}

bool ProcessOperations::fCloseApp(WindowHandle window) {
  if (window == 0) return false;
  bool exists = false;
  StepsFor("fCloseApp")(10, [&] {
    desktop_.PostClose(window);
    exists = desktop_.IsWindow(window);
  });
  return exists;
}

bool ProcessOperations::waitForNoWindow(const std::string& title, int polls) {
  bool gone = false;
  StepsFor("waitForNoWindow")(10, [&] {
    for (int poll = 0; poll < polls && !gone && !Ending(); ++poll) {
      CWaitNDispatch wait(loop_);  // a fresh object: a nested stop waits on its own
      wait.Wait(kPollMs);
      gone = FindWindowByTitle(title) == 0;
    }
  });
  return gone;
}

bool ProcessOperations::waitForNoProcess(ProcessId pid, int polls) {
  bool gone = false;
  StepsFor("waitForNoWindow")(10, [&] {
    for (int poll = 0; poll < polls && !gone && !Ending(); ++poll) {
      CWaitNDispatch wait(loop_);
      wait.Wait(kPollMs);
      gone = !table_.IsAlive(pid);
    }
  });
  return gone;
}

bool ProcessOperations::waitForNoProcess(const ProcessHandle& held, int polls) {
  bool gone = false;
  StepsFor("waitForNoWindow")(10, [&] {
    for (int poll = 0; poll < polls && !gone && !Ending(); ++poll) {
      CWaitNDispatch wait(loop_);
      wait.Wait(kPollMs);
      gone = table_.HasEnded(held);
    }
  });
  return gone;
}

void ProcessOperations::WaitThroughFirstSecond(ProcessId pid) {
  for (int waited = 0; waited < kFirstSecondMs && !Ending(); waited += kFirstSecondPollMs) {
    CWaitNDispatch wait(loop_);
    wait.Wait(kFirstSecondPollMs);
    if (!table_.IsAlive(pid)) return;
  }
}

bool ProcessOperations::Kill(const ProcessHandle& held) {
  bool killed = false;
  Quietly([&] { killed = table_.Terminate(held); });
  return killed;
}

bool ProcessOperations::Kill(ProcessId pid) {
  bool killed = false;
  Quietly([&] { killed = pid != 0 && table_.Terminate(pid); });
  return killed;
}

std::string ProcessOperations::PathAsRun(const std::string& path) {
  // A short name (C:\PROGRA~1\...) runs the file its long name names, which the system lists.
  if (paths_.has_drives()) return LongPathOf(path);
  std::string real;
  Quietly([&] { real = files_.RealPath(path); });
  return real.empty() ? path : real;
}

std::string ProcessOperations::ProgramFile(const std::string& path) {
  const bool bare = path.find_first_of(paths_.has_drives() ? "/\\:" : "/") == std::string::npos;
  if (!bare) return path;
  std::string found;
  Quietly([&] { found = table_.LookUpProgram(path); });
  return found.empty() ? path : found;
}

ProcessId ProcessOperations::StartProcess(const std::string& path, const std::string& parameter,
                                          const std::string& window, const std::string& priority,
                                          const LaunchSettings& launch, bool reuse_running,
                                          const std::function<void(ProcessId)>& spawned,
                                          bool first_second) {
  last_start_failure_.clear();
  last_start_found_running_.clear();
  if (!files_.FileExists(path)) {
    bool is_folder = false;
    Quietly([&] { is_folder = files_.FolderExists(path); });
    last_start_failure_ = is_folder ? "a folder, not a program file" : "no such file";
    return 0;
  }
  ProcessId pid = 0;
  bool another_file = false;  // found running from another folder: not the program asked for
  Steps step([this, &path](const Failure& failure) {
    // Said once: the log line that tells of it names the path already.
    const std::string named = "Cannot start " + path + ": ";
    last_start_failure_ = failure.description.starts_with(named)
                              ? failure.description.substr(named.size())
                              : failure.description;
    events_.SendErrorEvent(kLogType, "StartProcess", failure);
  });
  if (reuse_running) step(20, [&] { pid = FindProgram(path); });
  if (pid == 0) {
    const bool started = step(30, [&] {
      const ShowState show =
          IsWholeNumber(window) ? static_cast<ShowState>(std::stoi(std::string(TrimSpaces(window))))
                                : ShowState::kMinimized;
      pid = table_.Start(path, parameter == kUnknownText ? "" : parameter, show, launch);
    });
    if (!started) return 0;
    if (spawned) spawned(pid);
    if (first_second) WaitThroughFirstSecond(pid);
  } else {
    // Nothing started: the file that does run is told, since it may be another folder's; the
    // very file asked for (through a link, say) is told as it was named.
    Quietly([&] { last_start_found_running_ = table_.ProgramPath(pid); });
    const auto key = [&](const std::string& file) {
      const std::string normal = LexicallyNormal(file, paths_);
      return paths_.names_ignore_case() ? LowerCase(normal) : normal;
    };
    if (last_start_found_running_.empty() ||
        key(last_start_found_running_) == key(PathAsRun(path))) {
      last_start_found_running_ = path;
    } else {
      another_file = true;
    }
  }
  step(40, [&] {
    if (priority != kUnknownText && pid != 0 && !another_file) {
      fChangeProcessPriority(std::to_string(pid), priority);
    }
  });
  return pid;
}

void ProcessOperations::fChangeProcessPriority(const std::string& target,
                                               const std::string& priority) {
  auto step = StepsFor("fChangeProcessPriority");
  const std::optional<PriorityClass> wanted = PriorityFromName(priority);
  ProcessId pid = 0;
  step(20, [&] {
    pid = IsWholeNumber(target)
              ? static_cast<ProcessId>(std::stoul(std::string(TrimSpaces(target))))
              : GetPIDFromTitle(target);
  });
  if (pid == 0 || !wanted) return;
  step(30, [&] { table_.SetPriority(pid, *wanted); });
}

bool ProcessOperations::IsRecordsProgram(const Status& record, ProcessId pid) {
  // Its file name, as a look-up by name would compare it; or a window with its title.
  const std::string image = table_.ImageName(pid);
  if (image.empty()) return false;
  const std::string cut = ListedName(filename(record.Path()));
  if (paths_.names_ignore_case() ? EqualsIgnoringCase(image, cut) : image == cut) return true;
  if (record.Title() == kUnknownText || record.Title().empty()) return false;
  for (const WindowHandle window : desktop_.TopLevelWindows()) {
    if (desktop_.OwnerPid(window) == pid &&
        ContainsIgnoringCase(desktop_.Caption(window), record.Title())) {
      return true;
    }
  }
  return false;
}

void ProcessOperations::QueryProcess(Status& record) {
  auto step = StepsFor("QueryProcess");
  ProcessId pid = 0;
  step(10, [&] {
    // The instance the record already follows, while it runs: another program of the same
    // name, or a window not shown yet, must not take its place. A hold on it says so whatever
    // the process is called: a script runs as its interpreter, a wrapper as what it ran.
    const auto known = static_cast<ProcessId>(std::max<int32_t>(record.PID(), 0));
    const bool held =
        known != 0 && record.handle() != nullptr && !table_.HasEnded(*record.handle());
    if (held || (known != 0 && IsRecordsProgram(record, known))) {
      pid = known;
      return;
    }
    pid = record.Title() == kUnknownText || record.Title().empty()
              ? FindProgram(record.Path())
              : GetPIDFromTitle(record.Title());
  });
  if (pid == 0) {
    record.Ended();  // keeps how the program it followed ended, where the system tells
    return;
  }
  record.PID(static_cast<int32_t>(pid));
  step(30, [&] {
    const std::optional<PriorityClass> priority = table_.GetPriority(pid);
    if (priority) record.Priority(PriorityName(*priority));
  });
}

bool ProcessOperations::StopProcess(const std::string& path, const std::string& title,
                                    const ProcessHandle* followed, EndSignal signal,
                                    int polite_ms) {
  auto step = StepsFor("StopProcess");
  last_stop_forced_ = false;
  WindowHandle window = 0;
  ProcessId pid = 0;
  std::string wait_title = title;
  step(20, [&] {
    if (title == kUnknownText || title.empty()) {
      // A stop by path ends the program of that very file, never a namesake elsewhere: the
      // run the node follows first, as the file's name need not be the process's (a script).
      pid = followed != nullptr && !table_.HasEnded(*followed)
                ? followed->pid()
                : FindProgram(path, /*any_folder=*/false);
      window = InstanceToWnd(pid);
      wait_title = fGetCaption(window);
    } else {
      std::string className;
      window = FindWindowLike(title, className);
      if (window != 0) pid = desktop_.OwnerPid(window);
    }
    // No window holds the title (a computer without a desktop, say), but the program the
    // record follows still runs: it is stopped as a program without a window, not left running
    // behind a report that it stopped.
    if (window == 0 && pid == 0 && followed != nullptr && !table_.HasEnded(*followed)) {
      pid = followed->pid();
    }
  });
  const auto unable = [&] {
    events_.SendErrorEvent(kLogType, "Unable to Kill " + path + title);
    return false;
  };
  // Held from here on: during the waits the program may end and its id go to another one,
  // which must not be waited for, let alone killed.
  std::unique_ptr<ProcessHandle> held;
  if (pid != 0) Quietly([&] { held = table_.Hold(pid); });
  const auto gone = [&] { return held ? table_.HasEnded(*held) : !table_.IsAlive(pid); };
  const int polite_polls = std::max(1, (polite_ms + kPollMs - 1) / kPollMs);
  const auto wait_gone = [&](int polls) {
    return held ? waitForNoProcess(*held, polls) : waitForNoProcess(pid, polls);
  };
  const auto kill = [&] {
    const bool killed = held ? Kill(*held) : Kill(pid);
    last_stop_forced_ = last_stop_forced_ || killed;
    return killed;
  };
  // Without a window to close, or once the window is gone: only a program that is gone
  // counts as stopped, so one that runs on (in a tray, say) is asked to end, then ended.
  const auto end_process = [&] {
    if (pid == 0 || gone()) return true;
    step(40, [&] { table_.RequestClose(pid, signal); });
    if (wait_gone(polite_polls)) return true;
    if (Ending()) return false;  // the node is going: nobody is killed on its way out
    kill();
    return wait_gone(kPolls) ? true : unable();
  };

  if (window == 0) return end_process();

  step(50, [&] { fCloseApp(window); });
  if (waitForNoWindow(wait_title, polite_polls) || (pid != 0 && InstanceToWnd(pid) == 0))
    return end_process();
  if (pid == 0) return unable();  // nothing to kill: the window stays
  if (Ending()) return false;
  kill();
  if (wait_gone(kPolls)) return true;
  return unable();
}

}  // namespace varnix
