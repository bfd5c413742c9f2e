// A machine whose facts the test sets.
#pragma once

#include <string>
#include <vector>

#include "platform/machine.h"
#include "platform/udp_socket.h"

namespace varnix {

class FakeMachine : public Machine {
 public:
  PathRules Paths() const override { return paths; }
  std::string ComputerName() override {
    ++name_calls;
    return computer_name;
  }
  std::vector<std::string> HostAddresses() override { return addresses; }
  std::vector<Temperature> Temperatures() override {
    ++temperature_reads;
    return temperatures;
  }
  MachineFigures Figures(const std::string& address) override {
    figures_asked_for = address;
    return figures;
  }
  std::optional<OSVersion> Version() override { return version; }
  std::string ProgramFolder() override { return folder; }
  std::string ProgramFileName() override { return file_name; }
  unsigned long CurrentProcessId() override { return pid; }
  std::string DateText(std::chrono::system_clock::time_point) override { return now; }
  std::string CloseTracePath(const std::string& data_folder) override {
    return data_folder + "RestartWindows.txt";
  }
  std::string UserDataFolder() override { return ""; }
  void EnableShutdownPrivilege() override { system_calls.push_back("privilege"); }
  void ExitSystem(bool reboot, bool force) override {
    system_calls.push_back(std::string(reboot ? "reboot" : "halt") + (force ? " force" : ""));
  }
  std::unique_ptr<PresenceWatch> WatchPresence(EventLoop&, std::function<void()>) override {
    struct Watch : PresenceWatch {
      explicit Watch(FakeMachine& machine) : owner(machine) {}
      Presence Now() override {
        ++owner.presence_reads;
        return owner.presence;
      }
      FakeMachine& owner;
    };
    return std::make_unique<Watch>(*this);
  }
  // Shown until the test answers it through `answer_notice`, or it goes (`notices_open`).
  std::unique_ptr<ShownNotice> ShowNotice(
      EventLoop&, const Notice& notice,
      std::function<void(const NoticeAnswer&)> answered) override {
    if (!notice_problem.empty()) throw Error(1, notice_problem);
    notices.push_back(notice);
    answer_notice = std::move(answered);
    struct Shown : ShownNotice {
      explicit Shown(int& open) : count(open) { ++count; }
      ~Shown() override { --count; }
      int& count;
    };
    return std::make_unique<Shown>(notices_open);
  }
  void SessionAction(SessionRequest, const std::function<void(int)>&) override {
    system_calls.push_back("session");
  }

  PathRules paths = PathRules::Posix();
  std::string computer_name = "PC1";
  int name_calls = 0;
  std::vector<std::string> addresses = {"10.0.0.5", "127.0.0.1"};
  MachineFigures figures;
  std::vector<Temperature> temperatures;
  int temperature_reads = 0;
  Presence presence;
  int presence_reads = 0;
  std::string figures_asked_for;
  std::vector<Notice> notices;
  std::function<void(const NoticeAnswer&)> answer_notice;
  std::string notice_problem;
  int notices_open = 0;
  std::optional<OSVersion> version;
  std::string folder = "/opt/varnix";
  std::string file_name = "varnix";
  unsigned long pid = 4242;
  std::string now = "12/6/2026 8:17:26 AM";
  std::vector<std::string> system_calls;
};

class FakeSocketsLayer : public SocketsLayer {
 public:
  Started Startup(Version wanted) override { return {0, version ? *version : wanted}; }
  int Cleanup() override { return cleanup_result; }

  std::optional<Version> version;
  int cleanup_result = 0;
};

}  // namespace varnix
