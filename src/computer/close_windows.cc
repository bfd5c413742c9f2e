// CloseAllWindows: passes that close at most one window each, with the trace of what was seen.
#include "computer/close_windows.h"

#include <algorithm>
#include <utility>

#include "core/cwait_n_dispatch.h"
#include "core/steps.h"

namespace varnix {
namespace {

constexpr long kNoShell = -999;  // matches no process

// The trace writes a wait's result as the Windows wait call gives it.
int TraceStatus(WaitResult result) {
  switch (result) {
    case WaitResult::kEnded:
      return 0;  // WAIT_OBJECT_0
    case WaitResult::kTimedOut:
      return 258;  // WAIT_TIMEOUT
    case WaitResult::kCannotWait:
      break;
  }
  return -1;
}

}  // namespace

void CloseWindows::Trace(const std::string& text) {
  // A trace that cannot be written costs the trace, not the closing.
  Quietly([&] { s_.files.Append(tracePath_, s_.machine.GeneralDateText() + text + "\r\n"); });
}

std::string CloseWindows::Title(WindowHandle window) {
  std::string title;
  Quietly([&] { title = s_.desktop.Caption(window); });
  return title;
}

bool CloseWindows::WaitForWindowGone(WindowHandle window) {
  if (CloseWaitSeconds_ < 1) return true;
  CWaitNDispatch wait(s_.loop);  // one object per call, released at its end
  for (int i = 0; i < CloseWaitSeconds_; ++i) {
    if (!s_.desktop.IsWindow(window)) return false;
    wait.Wait(1000);
  }
  return true;
}

WaitResult CloseWindows::WaitForExit(ProcessId pid) {
  // Looked at every tenth of a second, dispatching between: the node answers while a program
  // takes its time to close (a wait in the system would leave it deaf for as long, a window
  // after a window).
  CWaitNDispatch wait(s_.loop);
  WaitResult waited = WaitResult::kCannotWait;
  for (int waited_ms = 0;; waited_ms += kExitLookMs) {
    Quietly([&] { waited = s_.processes.WaitForExit(pid, 0); });
    if (waited != WaitResult::kTimedOut || waited_ms >= CloseWaitSeconds_ * 1000 || Ending()) {
      return waited;
    }
    wait.Wait(kExitLookMs);
  }
}

void CloseWindows::CloseAllWindows() {
  // The programs asked so far, by process; a window whose owner is unknown stands for itself,
  // so that two such programs do not look like one asked twice.
  std::vector<std::pair<ProcessId, WindowHandle>> asked;
  long shell = 0;
  Quietly([&] { shell = nt_ ? static_cast<long>(s_.desktop.ShellPid()) : kNoShell; });
  const auto own = static_cast<long>(s_.machine.CurrentProcessId());
  Quietly([&] { s_.files.WriteAll(tracePath_, ""); });

  // The node reads no request while it closes windows (they wait their turn, in order), so the
  // run as a whole is bounded: what is still open then is left to the system's own halt.
  const int64_t give_up_at =
      s_.loop.NowMilliseconds() + int64_t{kRunBound} * std::max(CloseWaitSeconds_, 1) * 1000;
  bool walk_again = true;
  while (walk_again && !Ending()) {
    if (s_.loop.NowMilliseconds() >= give_up_at) {
      Trace(" | Windows left to the system after " +
            std::to_string(kRunBound * std::max(CloseWaitSeconds_, 1)) + " s");
      break;
    }
    walk_again = false;
    std::vector<WindowHandle> windows;
    Quietly([&] { windows = s_.desktop.TopLevelWindows(); });
    for (const WindowHandle window : windows) {
      const std::string title = Title(window);
      bool visible = false;
      ProcessId pid = 0;
      Quietly([&] {
        visible = s_.desktop.IsVisible(window);
        pid = s_.desktop.OwnerPid(window);
      });
      const std::string id = std::to_string(pid);
      Trace(" | PID=" + id + "Window=" + title);
      // Without a desktop shell there is nothing to spare: a shell of 0 would spare every
      // window whose owner is unknown.
      const bool spared = title == "Windows Task Manager" || title == "Command Prompt" ||
                          static_cast<long>(pid) == own ||
                          (shell != 0 && static_cast<long>(pid) == shell);
      if (visible && !spared) {
        const std::pair<ProcessId, WindowHandle> key{pid, pid == 0 ? window : 0};
        if (std::find(asked.begin(), asked.end(), key) == asked.end()) {
          asked.push_back(key);
          walk_again = true;
        }
        Quietly([&] { s_.desktop.PostClose(window); });
        // No process to wait for: straight to the window's own wait.
        const WaitResult waited = pid != 0 ? WaitForExit(pid) : WaitResult::kCannotWait;
        const int status = TraceStatus(waited);
        Trace(" | Visible/Closed PID=" + id + "Window=" + title +
              ", Status = " + std::to_string(status));
        Quietly([&] { WaitForWindowGone(window); });
        break;  // closing changes the window order: start again from the top
      }
      if (visible) {
        Trace(" | Skipping PID=" + id + ", Window=" + title);
      } else if (!title.empty()) {
        Trace(" | Not Visible PID=" + id + "Window=" + title);
      }
    }
  }
  Trace(" | All Windows Closed");
}

}  // namespace varnix
