// The top-level windows of the user's desktop, and the polite way to close one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/process_table.h"

namespace varnix {

using WindowHandle = uint64_t;  // 0 is no window

class Desktop {
 public:
  virtual ~Desktop() = default;

  // Every top-level window, visible or not, topmost first.
  virtual std::vector<WindowHandle> TopLevelWindows() = 0;
  virtual std::string Caption(WindowHandle window) = 0;
  virtual std::string ClassName(WindowHandle window) = 0;
  virtual ProcessId OwnerPid(WindowHandle window) = 0;
  virtual bool IsVisible(WindowHandle window) = 0;
  // The window this one belongs to (its owner or transient-for); 0 for none.
  virtual WindowHandle Parent(WindowHandle window) = 0;
  virtual bool IsWindow(WindowHandle window) = 0;
  // Asks the window to close (WM_CLOSE, or WM_DELETE_WINDOW); does not wait.
  virtual void PostClose(WindowHandle window) = 0;
  // The process of the desktop shell; 0 when there is none.
  virtual ProcessId ShellPid() = 0;
  // Turns the displays off and nothing else. Returns "" when done as asked, or what was done
  // instead (the screen saver, where the display cannot be powered down); throws Error when
  // nothing could be done (no display).
  virtual std::string TurnScreensOff() = 0;
};

}  // namespace varnix
