// Shutting down or rebooting the computer, always after the application windows were asked to
// close.
#pragma once

#include "computer/close_windows.h"
#include "computer/computer_control.h"
#include "platform/machine.h"

namespace varnix {

// True on systems of the NT family, and on systems that have no 95 family at all.
bool IsNtPlatform(Machine& machine);

class ShutdownModule : public ComputerControl {
 public:
  ShutdownModule(Machine& machine, CloseWindows& windows) : machine_(machine), windows_(windows) {}

  void CloseWindowsAndShutdown() override;
  void CloseWindowsAndReboot() override;
  void ShutdownComputer(bool force);
  void RebootComputer(bool force);
  bool IsNtPlatform() { return varnix::IsNtPlatform(machine_); }
  void EnableShutdownPrivilege() { machine_.EnableShutdownPrivilege(); }

 private:
  void ExitSystem(bool reboot, bool force);

  Machine& machine_;
  CloseWindows& windows_;
};

}  // namespace varnix
