// A shutdown request to the real node under Xvfb: windows closed, trace written, the system asked
// to halt through a stand-in systemctl that only records its arguments.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "helper.h"
#include "hostile_traffic.h"
#include "settings/ini_tool.h"
#include "system/node_fixture.h"
#include "system/screen_state.h"

namespace varnix {
namespace {

using std::chrono::milliseconds;

class NodeShutdownTest : public NodeFixture {};

TEST_F(NodeShutdownTest, ClosesTheWindowsThenHalts) {
  const char* display = std::getenv("DISPLAY");
  ASSERT_NE(display, nullptr) << "run under tests/with_xvfb.sh (package xvfb)";
  WriteSettings();
  platform_.files->WriteAll(Path("Config/settings.ini"), "[Computer]\r\nCloseWaitSeconds=1\r\n");
  // Never the real one: the stand-in comes first on the node's PATH.
  platform_.files->CreateFolder(Path("bin"));
  const std::string calls = Path("systemctl.calls");
  platform_.files->WriteAll(Path("bin/systemctl"), "#!/bin/sh\necho \"$@\" >> '" + calls + "'\n");
  std::filesystem::permissions(Path("bin/systemctl"), std::filesystem::perms::owner_all);
  const char* path = std::getenv("PATH");
  StartNode({"PATH=" + Path("bin") + ":" + (path ? path : "/usr/bin:/bin")});
  ASSERT_NE(hub_->WaitForText("Data=Using xAP port"), "");

  // Bottom first: a hung program on top would end the run before the others are reached.
  const std::vector<ProcessId> helpers = StartWindowHelpers(
      platform_, {{"Hung Program", "stubborn"}, {"Command Prompt", ""}, {"Notes - Editor", ""}});
  for (const char* caption : {"Hung Program", "Command Prompt", "Notes - Editor"}) {
    ASSERT_TRUE(WindowShows(platform_, caption)) << caption;
  }

  hub_->Relay(
      "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Computer.Process\n"
      "source=acme.tester.peer\ntarget=qel.Process." +
      platform_.machine->ComputerName() + "\n}\nComputer.Control\n{\nAction=Shutdown\n}\n");
  ASSERT_TRUE(
      hub_->WaitFor([&] { return platform_.files->FileExists(calls); }, milliseconds(20000)))
      << (FileExists("Data/RestartWindows.txt") ? ReadFile("Data/RestartWindows.txt") : "no trace")
      << (FileExists("Data/Korvane.txt") ? ReadFile("Data/Korvane.txt") : "no log") << " node exit "
      << node_->WaitForExit(milliseconds(0)).value_or(-1);
  EXPECT_EQ(platform_.files->ReadAll(calls), "halt\n");

  EXPECT_FALSE(platform_.processes->IsAlive(helpers[2]));
  EXPECT_TRUE(platform_.processes->IsAlive(helpers[1]));
  const std::vector<std::string> trace = SplitLines(ReadFile("Data/RestartWindows.txt"));
  std::string text;
  for (const std::string& line : trace) text += line + "\n";
  EXPECT_NE(text.find("Window=Notes - Editor, Status = 0"), std::string::npos) << text;
  EXPECT_NE(text.find(" | Skipping PID=" + std::to_string(helpers[1]) + ", Window=Command Prompt"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Window=Hung Program, Status = 258"), std::string::npos) << text;
  ASSERT_FALSE(trace.empty());
  EXPECT_NE(trace.back().find(" | All Windows Closed"), std::string::npos);
  for (const ProcessId pid : helpers) platform_.processes->Terminate(pid);
}

TEST_F(NodeShutdownTest, ARefusedHaltIsReportedAndLeavesNothingBehind) {
  WriteSettings();
  platform_.files->WriteAll(Path("Config/settings.ini"), "[Computer]\r\nCloseWaitSeconds=0\r\n");
  // Both ways to halt refuse, as without systemd or without the right to.
  platform_.files->CreateFolder(Path("bin"));
  const std::string calls = Path("calls");
  for (const std::string command : {"systemctl", "shutdown"}) {
    platform_.files->WriteAll(Path("bin/" + command), "#!/bin/sh\necho " + command +
                                                          " \"$@\" >> '" + calls + "'\nexit 1\n");
    std::filesystem::permissions(Path("bin/" + command), std::filesystem::perms::owner_all);
  }
  const char* path = std::getenv("PATH");
  StartNode({"PATH=" + Path("bin") + ":" + (path ? path : "/usr/bin:/bin")});
  ASSERT_NE(hub_->WaitForText("Data=Using xAP port"), "");

  hub_->Relay(
      "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Computer.Process\n"
      "source=acme.tester.peer\ntarget=qel.Process." +
      platform_.machine->ComputerName() + "\n}\nComputer.Control\n{\nAction=Reboot\n}\n");
  const std::string event = hub_->WaitForText("RebootComputer", milliseconds(20000));
  EXPECT_NE(event.find("systemctl reboot: exit status 1; shutdown -r now: exit status 1"),
            std::string::npos)
      << event;
  EXPECT_EQ(platform_.files->ReadAll(calls), "systemctl reboot\nshutdown -r now\n");
  // Neither command lingers as a zombie of the node's.
  const std::string node = std::to_string(node_->Pid());
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream in(entry.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string state;
    std::string parent;
    fields >> state >> parent;
    EXPECT_FALSE(parent == node && state == "Z") << stat;
  }
  EXPECT_EQ(EndNode(), 0);
}

// Sleep, hibernate, lock, log off and screen off, each through the system's own commands
// (recording stand-ins here, which refuse while a file says so) and never for "*".
TEST_F(NodeShutdownTest, SessionActionsRunTheirCommandsFallBackAndReportRefusals) {
  const char* display = std::getenv("DISPLAY");
  ASSERT_NE(display, nullptr) << "run under tests/with_xvfb.sh (package xvfb)";
  WriteSettings();
  platform_.files->WriteAll(Path("Config/settings.ini"), "[Computer]\r\nCloseWaitSeconds=1\r\n");
  platform_.files->CreateFolder(Path("bin"));
  const std::string calls = Path("calls");
  const std::string refuse = Path("refuse");
  const std::string slow = Path("slow");
  for (const std::string command : {"systemctl", "loginctl"}) {
    platform_.files->WriteAll(Path("bin/" + command), "#!/bin/sh\necho " + command +
                                                          " \"$@\" >> '" + calls + "'\n[ -e '" +
                                                          slow + "' ] && sleep 3\n[ -e '" + refuse +
                                                          "' ] && exit 1\nexit 0\n");
    std::filesystem::permissions(Path("bin/" + command), std::filesystem::perms::owner_all);
  }
  const char* path = std::getenv("PATH");
  StartNode({"PATH=" + Path("bin") + ":" + (path ? path : "/usr/bin:/bin")});
  ASSERT_NE(hub_->WaitForText("Data=Using xAP port"), "");
  const auto ask = [&](const std::string& action, const std::string& target) {
    hub_->Relay(
        "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Computer.Process\n"
        "source=acme.tester.peer\ntarget=" +
        target + "\n}\nComputer.Control\n{\nAction=" + action + "\n}\n");
  };
  const std::string node = "qel.Process." + platform_.machine->ComputerName();
  const auto called = [&](const std::string& lines) {
    return hub_->WaitFor([&] {
      return platform_.files->FileExists(calls) && platform_.files->ReadAll(calls) == lines;
    });
  };

  for (const char* action : {"sleep", "hibernate", "lock", "logoff", "screenoff"}) ask(action, "*");
  ask("Sleep", node);
  ASSERT_TRUE(called("systemctl suspend\n")) << "nothing for \"*\", then the suspend alone";
  ask("hibernate", node);
  ASSERT_TRUE(called("systemctl suspend\nsystemctl hibernate\n"));
  ask("LOCK", node);  // the node runs as root here: every session
  ASSERT_TRUE(called("systemctl suspend\nsystemctl hibernate\nloginctl lock-sessions\n"));

  // A log-off asks the windows first, then ends the graphical session.
  const std::vector<ProcessId> helpers = StartWindowHelpers(platform_, {{"Notes - Editor", ""}});
  ASSERT_TRUE(WindowShows(platform_, "Notes - Editor"));
  platform_.files->WriteAll(calls, "");
  ask("logoff", node);
  ASSERT_TRUE(called("loginctl terminate-seat seat0\n"));
  EXPECT_FALSE(platform_.processes->IsAlive(helpers[0]));
  EXPECT_NE(ReadFile("Data/RestartWindows.txt").find("Window=Notes - Editor, Status = 0"),
            std::string::npos);

  // Refused: the fallback, then an event that says both.
  platform_.files->WriteAll(refuse, "");
  platform_.files->WriteAll(calls, "");
  ask("sleep", node);
  const std::string event = hub_->WaitForText("Data=Sleep", milliseconds(20000));
  EXPECT_NE(event.find("systemctl suspend: exit status 1; loginctl suspend: exit status 1"),
            std::string::npos)
      << event;
  EXPECT_EQ(platform_.files->ReadAll(calls), "systemctl suspend\nloginctl suspend\n");

  // The screens: DPMS where the server has it, else the screen saver, which is then said.
  ask("screenoff", node);
  ASSERT_TRUE(hub_->WaitFor([&] { return ScreensOff(display); }, milliseconds(10000)));

  // A command that takes its time: the node's loop goes on meanwhile, as in a stop's wait, and
  // a request that came during it is answered in turn, not lost.
  platform_.files->WriteAll(slow, "");
  ask("sleep", node);
  hub_->Relay(EchoRequest(platform_.machine->ComputerName(), "meanwhile"));
  EXPECT_NE(hub_->WaitForText("meanwhile", milliseconds(20000)), "");
  EXPECT_EQ(EndNode(), 0);
}

}  // namespace
}  // namespace varnix
