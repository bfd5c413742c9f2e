// Shutting the computer down or rebooting it, after the application windows were asked to close.
#pragma once

namespace varnix {

class ComputerControl {
 public:
  virtual ~ComputerControl() = default;
  // Both always force; neither waits for the system to go down.
  virtual void CloseWindowsAndShutdown() = 0;
  virtual void CloseWindowsAndReboot() = 0;
};

}  // namespace varnix
