// The desktop on Windows: user32's top-level windows.
#pragma once

#include "platform/desktop.h"

namespace varnix {

class Win32Desktop : public Desktop {
 public:
  std::vector<WindowHandle> TopLevelWindows() override;
  std::string Caption(WindowHandle window) override;
  std::string ClassName(WindowHandle window) override;
  ProcessId OwnerPid(WindowHandle window) override;
  bool IsVisible(WindowHandle window) override;
  WindowHandle Parent(WindowHandle window) override;
  bool IsWindow(WindowHandle window) override;
  void PostClose(WindowHandle window) override;
  ProcessId ShellPid() override;
  std::string TurnScreensOff() override;
};

}  // namespace varnix
