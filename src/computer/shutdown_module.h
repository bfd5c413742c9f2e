// Shutting down or rebooting the computer, always after the application windows were asked to
// close.
#pragma once

#include "computer/close_windows.h"
#include "computer/computer_control.h"
#include "computer/presence_report.h"
#include "computer/user_sensors.h"
#include "core/failure.h"
#include "platform/machine.h"

namespace varnix {

// True on systems of the NT family, and on systems that have no 95 family at all.
bool IsNtPlatform(Machine& machine);

class ShutdownModule : public ComputerControl {
 public:
  // A request the system refuses is reported through `events`. `sensors`, the user's own, and
  // `presence`, who is at the computer, and `notices`, may each be nullptr for none.
  ShutdownModule(Machine& machine, Desktop& desktop, EventLoop& loop, CloseWindows& windows,
                 EventReport& events, const UserSensors* sensors = nullptr,
                 PresenceReport* presence = nullptr, NoticeBoard* notices = nullptr)
      : machine_(machine),
        desktop_(desktop),
        loop_(loop),
        windows_(windows),
        events_(events),
        sensors_(sensors),
        presence_(presence),
        notices_(notices),
        figures_(machine) {}

  void CloseWindowsAndShutdown() override;
  void CloseWindowsAndReboot() override;
  void SessionAction(SessionRequest request) override;
  void TurnScreensOff() override;
  StatusItems Status(const std::string& address) override;
  std::vector<StatusItems> Sensors() override;
  void Notify(const NoticeRequest& request) override {
    if (notices_ != nullptr) notices_->Show(request);
  }
  void ShutdownComputer(bool force);
  void RebootComputer(bool force);
  bool IsNtPlatform() { return varnix::IsNtPlatform(machine_); }
  void EnableShutdownPrivilege() { machine_.EnableShutdownPrivilege(); }

 private:
  void ExitSystem(bool reboot, bool force);

  Machine& machine_;
  Desktop& desktop_;
  EventLoop& loop_;
  CloseWindows& windows_;
  EventReport& events_;
  const UserSensors* sensors_;
  PresenceReport* presence_;
  NoticeBoard* notices_;
  ComputerFigures figures_;
};

}  // namespace varnix
