// Closing real application windows before a shutdown, with the system's own end faked out.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "computer/close_windows.h"
#include "computer/shutdown_module.h"
#include "fakes/recording_error_log.h"
#include "helper.h"
#include "platform/platform.h"
#include "settings/ini_tool.h"
#include "temp_folder.h"

namespace varnix {
namespace {

using std::chrono::milliseconds;

// The real machine in every respect but the one that would end this test's system.
class MachineThatStaysUp : public Machine {
 public:
  explicit MachineThatStaysUp(Machine& real) : real_(real) {}
  PathRules Paths() const override { return real_.Paths(); }
  std::string ComputerName() override { return real_.ComputerName(); }
  std::vector<std::string> HostAddresses() override { return real_.HostAddresses(); }
  MachineFigures Figures(const std::string& address) override { return real_.Figures(address); }
  std::optional<OSVersion> Version() override { return real_.Version(); }
  std::string ProgramFolder() override { return real_.ProgramFolder(); }
  std::string ProgramFileName() override { return real_.ProgramFileName(); }
  unsigned long CurrentProcessId() override { return real_.CurrentProcessId(); }
  std::string DateText(std::chrono::system_clock::time_point at) override {
    return real_.DateText(at);
  }
  std::string CloseTracePath(const std::string& data) override {
    return real_.CloseTracePath(data);
  }
  std::string UserDataFolder() override { return real_.UserDataFolder(); }
  void EnableShutdownPrivilege() override { real_.EnableShutdownPrivilege(); }
  void ExitSystem(bool reboot, bool force) override {
    requests.push_back(std::string(reboot ? "reboot" : "halt") + (force ? " force" : ""));
  }
  void SessionAction(SessionRequest request, const std::function<void(int)>&) override {
    requests.push_back("session action " + std::to_string(static_cast<int>(request)));
  }
  std::vector<std::string> requests;

 private:
  Machine& real_;
};

// Needs a desktop: an X display on Linux (run under Xvfb), any session on Windows.
TEST(ShutdownDesktopTest, ClosesRealWindowsThenAsksTheSystemToEnd) {
  Platform platform = MakePlatform();
  TempFolder folder;
  Machine& real = *platform.machine;
  // Bottom first: a hung program on top would end the run before the others are reached.
  const std::vector<ProcessId> helpers = StartWindowHelpers(
      platform, {{"Hung Program", "stubborn"}, {"Command Prompt", ""}, {"Notes - Editor", ""}});
  const auto shown = [&] {
    return WindowShows(platform, "Hung Program") && WindowShows(platform, "Command Prompt") &&
           WindowShows(platform, "Notes - Editor");
  };
  ASSERT_TRUE(shown()) << "the helper windows did not appear; is a display there?";

  MachineThatStaysUp machine(real);
  const std::string trace = folder.path("RestartWindows.txt");
  CloseWindows windows(
      {*platform.desktop, *platform.processes, machine, *platform.files, *platform.loop}, trace,
      IsNtPlatform(machine), 1);
  RecordingEventReport events;
  ShutdownModule(machine, *platform.desktop, *platform.loop, windows, events)
      .CloseWindowsAndShutdown();
  EXPECT_EQ(machine.requests, std::vector<std::string>{"halt force"});

  EXPECT_FALSE(platform.processes->IsAlive(helpers[2]));
  EXPECT_TRUE(platform.processes->IsAlive(helpers[1])) << "a command prompt is spared";
  EXPECT_TRUE(platform.processes->IsAlive(helpers[0])) << "left to the system's forced end";
  std::string closed;
  int hung_closes = 0;
  for (const std::string& line : SplitLines(platform.files->ReadAll(trace))) {
    if (line.find(" | Visible/Closed PID=") != std::string::npos) closed += line + "\n";
    hung_closes += line.find("Window=Hung Program, Status = 258") != std::string::npos;
  }
  EXPECT_NE(closed.find("Window=Notes - Editor, Status = 0"), std::string::npos) << closed;
  EXPECT_EQ(hung_closes, 2) << "asked twice, which ends the run";
  EXPECT_EQ(closed.find("Command Prompt"), std::string::npos) << closed;
  EXPECT_NE(SplitLines(platform.files->ReadAll(trace)).back().find(" | All Windows Closed"),
            std::string::npos);
  for (const ProcessId pid : helpers) platform.processes->Terminate(pid);
}

}  // namespace
}  // namespace varnix
