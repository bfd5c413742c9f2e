// The X11 desktop against real X clients under Xvfb: who owns a window, which windows a user
// can bring back, and what a stop or the closing before a halt may touch.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "computer/close_windows.h"
#include "dispatch_until.h"
#include "fakes/fake_machine.h"
#include "fakes/recording_error_log.h"
#include "helper.h"
#include "platform/child_process.h"
#include "platform/platform.h"
#include "settings/ini_tool.h"
#include "supervision/process_operations.h"
#include "temp_folder.h"

namespace varnix {
namespace {

class X11DesktopTest : public ::testing::Test {
 protected:
  ~X11DesktopTest() override {
    for (auto it = clients_.rbegin(); it != clients_.rend(); ++it) it->reset();
  }

  // A real X client, ended with the test.
  ChildProcess& Client(const std::string& program, const std::vector<std::string>& arguments) {
    clients_.push_back(StartChildProcess(program, arguments));
    return *clients_.back();
  }
  ChildProcess& Helper(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"--helper"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return Client(self_, all);
  }
  // Runs a command to its end, as the user would from a terminal.
  static void Run(const std::string& program, const std::vector<std::string>& arguments) {
    StartChildProcess(program, arguments)->WaitForExit(milliseconds(5000));
  }

  bool Within(milliseconds limit, const std::function<bool()>& done) {
    return DispatchUntil(*platform_.loop, limit, done);
  }
  WindowHandle Await(const std::string& caption) {
    return WaitForWindow(platform_, caption, milliseconds(5000));
  }

  Desktop& desktop() { return *platform_.desktop; }
  ProcessOperations Operations() {
    return ProcessOperations(*platform_.processes, desktop(), *platform_.files, events_,
                             *platform_.loop, "Linux", PathRules::Posix());
  }

  Platform platform_ = MakePlatform();
  std::string self_ =
      platform_.machine->ProgramFolder() + "/" + platform_.machine->ProgramFileName();
  RecordingEventReport events_;
  std::vector<std::unique_ptr<ChildProcess>> clients_;
};

TEST_F(X11DesktopTest, DesktopAStopNeverTouchesAWindowWithoutAnOwner) {
  // xmessage, like many X programs, names no process for its window.
  Client("/usr/bin/xmessage", {"-title", "Stranger's Work", "unsaved"});
  const WindowHandle stranger = Await("Stranger's Work");
  ASSERT_NE(stranger, 0u) << "xmessage did not show (package x11-utils)";
  EXPECT_EQ(desktop().OwnerPid(stranger), 0u);

  ProcessOperations ops = Operations();
  const auto start = Clock::now();
  EXPECT_TRUE(ops.StopProcess("/opt/nowhere/notrunning", "Unknown"));
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_TRUE(desktop().IsWindow(stranger));
  EXPECT_TRUE(events_.events.empty());
}

TEST_F(X11DesktopTest, DesktopAProcessIdCountsOnlyFromThisMachine) {
  ChildProcess& victim = Helper({"polite"});
  ChildProcess& liar = Helper({"window", "Remote Window", "stubborn"});
  const WindowHandle window = Await("Remote Window");
  ASSERT_NE(window, 0u);
  EXPECT_EQ(desktop().OwnerPid(window), liar.Pid());

  // A client on another computer (ssh -X), whose id happens to be a local program's.
  const std::string id = std::to_string(window);
  Run("/usr/bin/xprop", {"-id", id, "-f", "WM_CLIENT_MACHINE", "8s", "-set", "WM_CLIENT_MACHINE",
                         "elsewhere.example"});
  Run("/usr/bin/xprop",
      {"-id", id, "-f", "_NET_WM_PID", "32c", "-set", "_NET_WM_PID", std::to_string(victim.Pid())});
  ASSERT_TRUE(Within(milliseconds(2000), [&] { return desktop().OwnerPid(window) == 0; }));

  ProcessOperations ops = Operations();
  EXPECT_FALSE(ops.StopProcess("/opt/remote/program", "Remote Window"));
  EXPECT_FALSE(victim.WaitForExit(milliseconds(0)).has_value()) << "the local program was killed";
}

// Under a window manager that publishes EWMH, as on a user's desktop.
TEST_F(X11DesktopTest, DesktopBeforeAHaltEveryWindowAUserCouldLoseWorkInIsAsked) {
  Client("/usr/bin/openbox", {"--sm-disable"});
  ChildProcess& shell = Helper({"windows", "Desktop Shell", "Shell Panel"});
  const WindowHandle shell_window = Await("Desktop Shell");
  const WindowHandle panel = Await("Shell Panel");
  ASSERT_NE(shell_window, 0u);
  ASSERT_NE(panel, 0u);
  Run("/usr/bin/xprop", {"-id", std::to_string(shell_window), "-f", "_NET_WM_WINDOW_TYPE", "32a",
                         "-set", "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DESKTOP"});
  Run("/usr/bin/xprop", {"-id", std::to_string(panel), "-f", "_NET_WM_WINDOW_TYPE", "32a", "-set",
                         "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DOCK"});
  ASSERT_TRUE(Within(milliseconds(3000), [&] { return desktop().ShellPid() == shell.Pid(); }));

  ChildProcess& term = Client("/usr/bin/xterm", {"-T", "Minimized Term"});
  ChildProcess& message = Client("/usr/bin/xmessage", {"-title", "No Pid Message", "unsaved"});
  ChildProcess& away = Helper({"window", "Other Desktop"});
  const WindowHandle minimized = Await("Minimized Term");
  ASSERT_NE(minimized, 0u) << "xterm did not show (package xterm)";
  ASSERT_NE(Await("No Pid Message"), 0u);
  const WindowHandle elsewhere = Await("Other Desktop");
  ASSERT_NE(elsewhere, 0u);
  Run("/usr/bin/xdotool", {"windowminimize", std::to_string(minimized)});
  Run("/usr/bin/xdotool", {"set_desktop_for_window", std::to_string(elsewhere), "1"});
  ASSERT_TRUE(Within(milliseconds(3000), [&] {
    return desktop().IsVisible(minimized) && desktop().IsVisible(elsewhere);
  })) << "a minimized window, or one on another desktop, is one the user can bring back";

  TempFolder folder;
  FakeMachine machine;
  machine.pid = platform_.machine->CurrentProcessId();
  const std::string trace = folder.path("RestartWindows.txt");
  CloseWindows({desktop(), *platform_.processes, machine, *platform_.files, *platform_.loop}, trace,
               true, 2)
      .CloseAllWindows();

  std::string closed;
  std::string skipped;
  for (const std::string& line : SplitLines(platform_.files->ReadAll(trace))) {
    if (line.find(" | Visible/Closed PID=") != std::string::npos) closed += line + "\n";
    if (line.find(" | Skipping PID=") != std::string::npos) skipped += line + "\n";
  }
  for (const std::string& asked :
       std::vector<std::string>{"PID=" + std::to_string(term.Pid()) + "Window=Minimized Term",
                                "PID=0Window=No Pid Message",
                                "PID=" + std::to_string(away.Pid()) + "Window=Other Desktop"}) {
    EXPECT_NE(closed.find(asked), std::string::npos) << asked << " not asked:\n" << closed;
  }
  const std::string shell_pid = std::to_string(shell.Pid());
  EXPECT_NE(skipped.find("PID=" + shell_pid + ", Window=Desktop Shell"), std::string::npos)
      << skipped;
  EXPECT_NE(skipped.find("PID=" + shell_pid + ", Window=Shell Panel"), std::string::npos)
      << skipped;
  EXPECT_TRUE(term.WaitForExit(milliseconds(3000)).has_value());
  EXPECT_TRUE(message.WaitForExit(milliseconds(3000)).has_value());
  EXPECT_TRUE(away.WaitForExit(milliseconds(3000)).has_value());
  EXPECT_FALSE(shell.WaitForExit(milliseconds(0)).has_value());
}

}  // namespace
}  // namespace varnix
