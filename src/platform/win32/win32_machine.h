// Machine facts on Windows: computer name, host addresses, version, the program's own file, local
// time.
#pragma once

#include "platform/machine.h"
#include "platform/win32/windows_headers.h"

namespace varnix {

class Win32Machine : public Machine {
 public:
  PathRules Paths() const override { return PathRules::Windows(); }
  // A named mutex in the Global namespace: one for all sessions, let go by the system when
  // the holder ends. Windows does not tell who holds it.
  ClaimResult ClaimInstance(const std::string& name) override;
  std::string ComputerName() override;
  std::vector<std::string> HostAddresses() override;
  std::vector<std::string> HostNetworks() override;
  MachineFigures Figures(const std::string& address) override;
  std::string BootId() override;
  // The ACPI thermal zones through WMI (MSAcpi_ThermalZoneTemperature); throws Error saying
  // why where WMI does not show them (an account that is no administrator, no such provider).
  std::vector<Temperature> Temperatures() override;
  // The console session through the WTS functions; looked at on the node's passes, since
  // Windows tells session changes only to a window or a service's handler.
  std::unique_ptr<ShownNotice> ShowNotice(
      EventLoop& loop, const Notice& notice,
      std::function<void(const NoticeAnswer&)> answered) override;
  std::unique_ptr<PresenceWatch> WatchPresence(EventLoop& loop,
                                               std::function<void()> changed) override;
  std::optional<OSVersion> Version() override;
  std::string ProgramFolder() override;
  std::string ProgramFileName() override;
  unsigned long CurrentProcessId() override;
  std::string DateText(std::chrono::system_clock::time_point at) override;
  std::string CloseTracePath(const std::string&) override { return "C:\\RestartWindows.txt"; }
  std::string UserDataFolder() override;
  void EnableShutdownPrivilege() override;
  void ExitSystem(bool reboot, bool force) override;
  void SessionAction(SessionRequest request, const std::function<void(int)>& wait) override;

 private:
  WinsockSession winsock_;  // gethostbyname needs it
};

}  // namespace varnix
