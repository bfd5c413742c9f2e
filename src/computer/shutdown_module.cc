// ShutdownModule: the privilege where the system has one, then the request to end the system.
#include "computer/shutdown_module.h"

namespace varnix {

bool IsNtPlatform(Machine& machine) {
  try {
    const auto version = machine.Version();
    // Systems without a version call have no 95 family either: they behave as NT does.
    return !version || version->platform_id == 2;
  } catch (...) {
    return false;
  }
}

void ShutdownModule::ExitSystem(bool reboot, bool force) {
  try {
    if (IsNtPlatform()) EnableShutdownPrivilege();
  } catch (...) {
  }
  try {
    machine_.ExitSystem(reboot, force);
  } catch (...) {
    // The computer keeps running: whoever asked must learn it.
    events_.SendErrorEvent("Korvane", reboot ? "RebootComputer" : "ShutdownComputer",
                           FailureFromCurrentException(0));
  }
}

void ShutdownModule::ShutdownComputer(bool force) { ExitSystem(false, force); }

void ShutdownModule::RebootComputer(bool force) { ExitSystem(true, force); }

void ShutdownModule::CloseWindowsAndShutdown() {
  try {
    windows_.CloseAllWindows();
  } catch (...) {
  }
  // Asked to end while closing: the node goes, the computer is left as it is.
  if (!windows_.Ending()) ShutdownComputer(true);
}

void ShutdownModule::CloseWindowsAndReboot() {
  try {
    windows_.CloseAllWindows();
  } catch (...) {
  }
  if (!windows_.Ending()) RebootComputer(true);
}

}  // namespace varnix
