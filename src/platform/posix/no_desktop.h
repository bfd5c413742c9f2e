// A desktop without windows: for programs that have none, and builds without libX11.
#pragma once

#include <cerrno>
#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/error.h"

namespace varnix {

class NoDesktop : public Desktop {
 public:
  std::vector<WindowHandle> TopLevelWindows() override { return {}; }
  std::string Caption(WindowHandle) override { return ""; }
  std::string ClassName(WindowHandle) override { return ""; }
  ProcessId OwnerPid(WindowHandle) override { return 0; }
  bool IsVisible(WindowHandle) override { return false; }
  WindowHandle Parent(WindowHandle) override { return 0; }
  bool IsWindow(WindowHandle) override { return false; }
  void PostClose(WindowHandle) override {}
  ProcessId ShellPid() override { return 0; }
  std::string TurnScreensOff() override { throw Error(ENOSYS, "no display to turn off"); }
};

}  // namespace varnix
