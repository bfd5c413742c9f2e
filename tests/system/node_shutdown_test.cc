// The computer's actions on the real node under Xvfb: windows closed, trace written, the system
// asked through stand-ins for its commands that only record their arguments.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "helper.h"
#include "hostile_traffic.h"
#include "settings/ini_tool.h"
#include "system/node_fixture.h"
#include "system/screen_state.h"

namespace varnix {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

class NodeShutdownTest : public NodeFixture {
 protected:
  void Ask(const std::string& action, const std::string& target) {
    hub_->Relay(XapRequest(target, "Computer.Control\n{\nAction=" + action + "\n}\n"));
  }
};

// Sleep, hibernate, lock, log off and screen off, each through the system's own commands; a
// refused halt, reboot or sleep tried the other way, then reported; nothing of this for "*".
// (Closing the windows before a halt is the desktop test's, on both systems.)
TEST_F(NodeShutdownTest, SessionActionsAndRefusalsRunTheirCommandsAndReportEachFailure) {
  const char* display = std::getenv("DISPLAY");
  ASSERT_NE(display, nullptr) << "run under tests/with_xvfb.sh (package xvfb)";
  WriteSettings();
  StartNodeWithStandIns({"systemctl", "loginctl", "shutdown"});
  ASSERT_NE(hub_->WaitForText("Data=Using xAP port"), "");
  const std::vector<ProcessId> helpers = StartWindowHelpers(platform_, {{"Notes - Editor", ""}});
  ASSERT_TRUE(WindowShows(platform_, "Notes - Editor"));

  for (const char* action : {"reboot", "sleep", "hibernate", "lock", "logoff", "screenoff"}) {
    Ask(action, "*");
  }
  // No halt for "*", yet the query beside it is answered (by name, a halt is all it does).
  hub_->Relay(XapRequest("*", "Computer.Control\n{\nAction=shutdown\nQuery=IP\n}\n"));
  ASSERT_NE(hub_->WaitForText("Computer.Notification"), "");
  Ask("Sleep", Target());
  ASSERT_TRUE(Called("systemctl suspend\n")) << "nothing for \"*\", then the suspend alone";
  Ask("hibernate", Target());
  ASSERT_TRUE(Called("systemctl suspend\nsystemctl hibernate\n"));
  Ask("LOCK", Target());  // the node runs as root here: every session
  ASSERT_TRUE(Called("systemctl suspend\nsystemctl hibernate\nloginctl lock-sessions\n"));
  EXPECT_TRUE(platform_.processes->IsAlive(helpers[0])) << "sleep and lock leave windows be";

  // A log-off asks the windows first, then ends the graphical session.
  platform_.files->WriteAll(calls_, "");
  Ask("logoff", Target());
  ASSERT_TRUE(Called("loginctl terminate-seat seat0\n"));
  EXPECT_FALSE(platform_.processes->IsAlive(helpers[0]));
  EXPECT_THAT(ReadFile("Data/RestartWindows.txt"), HasSubstr("Window=Notes - Editor, Status = 0"));

  // Refused, as without systemd or without the right to: the fallback, then an event that
  // says both, and neither command left as a zombie.
  platform_.files->WriteAll(Path("refuse"), "");
  platform_.files->WriteAll(calls_, "");
  Ask("sleep", Target());
  const std::string event = hub_->WaitForText("Data=Sleep", milliseconds(20000));
  EXPECT_THAT(event,
              HasSubstr("systemctl suspend: exit status 1; loginctl suspend: exit status 1"));
  hub_->Relay(XapRequest(Target(), "Computer.Control\n{\nAction=Reboot\nQuery=IP\n}\n"));
  const std::string refused = hub_->WaitForText("RebootComputer", milliseconds(20000));
  EXPECT_THAT(refused,
              HasSubstr("systemctl reboot: exit status 1; shutdown -r now: exit status 1"));
  Ask("Shutdown", Target());
  ASSERT_NE(hub_->WaitForText("ShutdownComputer", milliseconds(20000)), "");
  EXPECT_EQ(platform_.files->ReadAll(calls_),
            "systemctl suspend\nloginctl suspend\nsystemctl reboot\nshutdown -r now\n"
            "systemctl poweroff\nshutdown -P now\n");
  const Ran children =
      RunToEnd("/usr/bin/ps", {"--ppid", std::to_string(node_->Pid()), "-o", "pid=,stat=,args="});
  EXPECT_THAT(children.output, Not(HasSubstr(" Z"))) << children.output;

  // The screens: DPMS where the server has it, else the screen saver, which is then said.
  Ask("screenoff", Target());
  ASSERT_TRUE(hub_->WaitFor([&] { return ScreensOff(display); }, milliseconds(10000)));

  // A command that takes its time: the node's loop goes on meanwhile, as in a stop's wait, and
  // a request that came during it is answered in turn, not lost.
  platform_.files->WriteAll(Path("slow"), "");
  Ask("sleep", Target());
  hub_->Relay(Echo("meanwhile"));
  EXPECT_NE(hub_->WaitForText("meanwhile", milliseconds(20000)), "");
  EXPECT_THAT(hub_->received(), Contains(HasSubstr("Computer.Notification")).Times(1));
  EXPECT_EQ(EndNode(), 0);
}

// Many programs that close their windows but run on (tray programs), each waited for: the node,
// which reads no request while it closes windows, stops after four close waits, halts, and
// answers what waited meanwhile. (A desktop left full of them kept a node deaf for minutes.)
TEST_F(NodeShutdownTest, ManyWindowsHoldTheNodeBackBriefly) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under tests/with_xvfb.sh (package xvfb)";
  WriteSettings();
  StartNodeWithStandIns({"systemctl", "loginctl", "shutdown"});  // a close wait of 1 s
  ASSERT_NE(hub_->WaitForText("Data=Using xAP port"), "");
  std::vector<std::pair<std::string, std::string>> trays;
  for (int i = 0; i < 10; ++i) trays.emplace_back("Tray " + std::to_string(i), "tray");
  const std::vector<ProcessId> helpers = StartWindowHelpers(platform_, trays);
  const auto asked = Clock::now();
  Ask("shutdown", Target());
  Pause(milliseconds(500));
  hub_->Relay(Echo("while closing"));
  EXPECT_TRUE(Called("systemctl poweroff\n", milliseconds(30000)));
  EXPECT_NE(hub_->WaitForText("Response=while closing", milliseconds(30000)), "");
  EXPECT_LT(Clock::now() - asked, milliseconds(7000))
      << "ten programs of a close wait each held the node back";
  EXPECT_THAT(ReadFile("Data/RestartWindows.txt"),
              HasSubstr("Windows left to the system after 4 s"));
  for (const ProcessId helper : helpers) platform_.processes->Terminate(helper);
}

}  // namespace
}  // namespace varnix
