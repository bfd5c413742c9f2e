// Machine facts on Linux: host name, interface addresses, the program's own file, local time.
#pragma once

#include "platform/machine.h"

namespace varnix {

// The sensors under `sys` (the kernel's /sys): hwmon chips with their labels, then the thermal
// zones that no chip shows.
std::vector<Temperature> ReadTemperatures(const std::string& sys);

class PosixMachine : public Machine {
 public:
  PathRules Paths() const override { return PathRules::Posix(); }
  // An abstract Unix socket named for the claim, listening: the kernel closes it with the
  // process, and a second claimant learns the holder's id from it.
  ClaimResult ClaimInstance(const std::string& name) override;
  std::string ComputerName() override;
  std::vector<std::string> HostAddresses() override;
  std::vector<std::string> HostNetworks() override;
  MachineFigures Figures(const std::string& address) override;
  std::vector<Temperature> Temperatures() override;
  // From logind over the system bus: seat0's active session, its user, LockedHint and
  // IdleSinceHint, followed by its PropertiesChanged signals.
  std::unique_ptr<ShownNotice> ShowNotice(
      EventLoop& loop, const Notice& notice,
      std::function<void(const NoticeAnswer&)> answered) override;
  std::unique_ptr<PresenceWatch> WatchPresence(EventLoop& loop,
                                               std::function<void()> changed) override;
  std::string BootId() override;
  std::optional<OSVersion> Version() override { return std::nullopt; }
  std::string ProgramFolder() override;
  std::string ProgramFileName() override;
  unsigned long CurrentProcessId() override;
  std::string DateText(std::chrono::system_clock::time_point at) override;
  std::string CloseTracePath(const std::string& data_folder) override {
    return data_folder + "RestartWindows.txt";
  }
  std::string UserDataFolder() override;
  void EnableShutdownPrivilege() override {}
  void ExitSystem(bool reboot, bool force) override;
  void SessionAction(SessionRequest request, const std::function<void(int)>& wait) override;
};

}  // namespace varnix
