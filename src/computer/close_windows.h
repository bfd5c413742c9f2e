// Asks the visible application windows to close, one at a time, before the computer goes down.
#pragma once

#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/event_loop.h"
#include "platform/file_system.h"
#include "platform/machine.h"
#include "platform/process_table.h"

namespace varnix {

class CloseWindows {
 public:
  // Seconds a window and its program get to go after their close request. Ten is long
  // enough for a program to save and end, short enough that a hung one does not hold the
  // shutdown for long.
  static constexpr int kCloseWaitSeconds = 10;
  // How often a program asked to close is looked at, dispatching between.
  static constexpr int kExitLookMs = 100;
  // A whole run takes at most this many close waits.
  static constexpr int kRunBound = 4;

  struct Services {
    Desktop& desktop;
    ProcessTable& processes;
    Machine& machine;
    FileSystem& files;
    EventLoop& loop;
  };

  // `trace_path` is replaced at every run; `nt` says whether the shell is to be spared.
  CloseWindows(Services services, std::string trace_path, bool nt,
               int CloseWaitSeconds = kCloseWaitSeconds)
      : s_(services),
        tracePath_(std::move(trace_path)),
        nt_(nt),
        CloseWaitSeconds_(CloseWaitSeconds) {}

  // Never fails towards its caller: whatever happens, the shutdown follows.
  void CloseAllWindows();
  // True when the window is still there after the allowed waits.
  bool WaitForWindowGone(WindowHandle window);
  // Waits up to CloseWaitSeconds for process `pid` to end, dispatching meanwhile.
  WaitResult WaitForExit(ProcessId pid);
  // The node was asked to end during the run: the rest of the windows were left alone.
  bool Ending() const { return s_.loop.Quitting(); }

 private:
  void Trace(const std::string& text);
  std::string Title(WindowHandle window);

  Services s_;
  std::string tracePath_;
  bool nt_;
  int CloseWaitSeconds_;
};

}  // namespace varnix
