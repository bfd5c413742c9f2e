// Tests of closing the application windows and of the shutdown requests, on a fake desktop.
#include "computer/close_windows.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "computer/shutdown_module.h"
#include "fakes/fake_event_loop.h"
#include "fakes/fake_file_system.h"
#include "fakes/fake_machine.h"
#include "fakes/fake_processes.h"
#include "fakes/recording_error_log.h"
#include "settings/ini_tool.h"

namespace varnix {
namespace {

class CloseWindowsTest : public ::testing::Test {
 protected:
  CloseWindowsTest() { machine_.pid = table_.Add("varnix"); }

  std::vector<std::string> Trace() { return SplitLines(files_.files.at(kTrace)); }

  static constexpr char kTrace[] = "/opt/varnix/Data/RestartWindows.txt";
  FakeEventLoop loop_;
  FakeProcessTable table_;
  FakeDesktop desktop_{loop_, table_};
  FakeMachine machine_;
  FakeFileSystem files_;
  CloseWindows windows_{{desktop_, table_, machine_, files_, loop_}, kTrace, true};
};

TEST_F(CloseWindowsTest, ClosesOneWindowPerPassAndSparesTheProtectedOnes) {
  const ProcessId notepad = table_.Add("notepad");
  const ProcessId console = table_.Add("cmd");
  const ProcessId service = table_.Add("service");
  const ProcessId blank = table_.Add("blank");
  desktop_.shell_pid = table_.Add("explorer");
  desktop_.Add("Untitled - Notepad", notepad, 500);
  desktop_.Add("Command Prompt", console);
  desktop_.Add("Command Prompt - ping", console, 100);
  desktop_.window(desktop_.Add("", service)).visible = false;
  desktop_.window(desktop_.Add("Service Helper", service)).visible = false;
  desktop_.Add("", blank, 100);
  desktop_.Add("Varnix Console", machine_.pid);
  desktop_.Add("Windows Task Manager", table_.Add("taskmgr"));
  desktop_.Add("Desktop", desktop_.shell_pid);
  files_.files[kTrace] = "an older run\r\n";

  windows_.CloseAllWindows();
  const std::string t = machine_.now;
  const std::string n = std::to_string(notepad), c = std::to_string(console),
                    s = std::to_string(service), b = std::to_string(blank),
                    own = std::to_string(machine_.pid), tm = std::to_string(notepad + 5),
                    sh = std::to_string(desktop_.shell_pid);
  const std::vector<std::string> pass3 = {
      t + " | PID=" + c + "Window=Command Prompt",
      t + " | Skipping PID=" + c + ", Window=Command Prompt",
      t + " | PID=" + s + "Window=",
      t + " | PID=" + s + "Window=Service Helper",
      t + " | Not Visible PID=" + s + "Window=Service Helper",
  };
  std::vector<std::string> expected = {
      t + " | PID=" + n + "Window=Untitled - Notepad",
      t + " | Visible/Closed PID=" + n + "Window=Untitled - Notepad, Status = 258",
      t + " | PID=" + c + "Window=Command Prompt",
      t + " | Skipping PID=" + c + ", Window=Command Prompt",
      t + " | PID=" + c + "Window=Command Prompt - ping",
      t + " | Visible/Closed PID=" + c + "Window=Command Prompt - ping, Status = 258"};
  expected.insert(expected.end(), pass3.begin(), pass3.end());
  expected.push_back(t + " | PID=" + b + "Window=");
  expected.push_back(t + " | Visible/Closed PID=" + b + "Window=, Status = 258");
  expected.insert(expected.end(), pass3.begin(), pass3.end());
  for (const auto& [pid, title] :
       {std::pair{own, "Varnix Console"}, std::pair{tm, "Windows Task Manager"},
        std::pair{sh, "Desktop"}}) {
    expected.push_back(t + " | PID=" + pid + "Window=" + title);
    expected.push_back(t + " | Skipping PID=" + pid + ", Window=" + title);
  }
  expected.push_back(t + " | All Windows Closed");
  EXPECT_EQ(Trace(), expected);
  // Never a wait in the system, which would leave the node deaf: a look, and the loop's wait.
  EXPECT_FALSE(table_.waits.empty());
  EXPECT_TRUE(std::all_of(table_.waits.begin(), table_.waits.end(), [](int w) { return w == 0; }));
  EXPECT_GT(loop_.dispatches, table_.waits.size() / 2) << "the loop ran while it waited";
}

TEST_F(CloseWindowsTest, AProgramAskedTwiceEndsTheRun) {
  const ProcessId editor = table_.Add("editor");
  desktop_.Add("Save changes?", editor, -1);
  desktop_.Add("Other", table_.Add("other"), 0);
  windows_.CloseAllWindows();
  const std::string t = machine_.now;
  const std::string e = std::to_string(editor);
  EXPECT_EQ(Trace(), (std::vector<std::string>{
                         t + " | PID=" + e + "Window=Save changes?",
                         t + " | Visible/Closed PID=" + e + "Window=Save changes?, Status = 258",
                         t + " | PID=" + e + "Window=Save changes?",
                         t + " | Visible/Closed PID=" + e + "Window=Save changes?, Status = 258",
                         t + " | All Windows Closed"}));
  EXPECT_EQ(loop_.now(), 40000)
      << "each close waits up to ten seconds for its program, then ten for its window";
}

TEST_F(CloseWindowsTest, WaitForWindowGoneLooksBeforeEachWait) {
  const WindowHandle window = desktop_.Add("Slow", table_.Add("slow"), 2500);
  desktop_.PostClose(window);
  EXPECT_FALSE(windows_.WaitForWindowGone(window));
  EXPECT_EQ(loop_.now(), 3000);
  CloseWindows impatient({desktop_, table_, machine_, files_, loop_}, kTrace, true, 0);
  EXPECT_TRUE(impatient.WaitForWindowGone(desktop_.Add("Stays", table_.Add("x"), -1)));
  EXPECT_EQ(loop_.now(), 3000);
}

TEST_F(CloseWindowsTest, WindowsWithoutAnOwnerAreEachAskedWhenThereIsNoShell) {
  // Programs that name no process (xmessage, Tk programs) under a window manager without a
  // desktop window: neither are they the shell's, nor are two of them one program.
  desktop_.shell_pid = 0;
  const WindowHandle first = desktop_.Add("Unsaved notes", 0, 100);
  const WindowHandle second = desktop_.Add("Unsaved drawing", 0, 100);
  const WindowHandle third = desktop_.Add("Editor", table_.Add("editor"), 100);
  windows_.CloseAllWindows();
  EXPECT_EQ(desktop_.closes_posted, (std::vector<WindowHandle>{first, second, third}));
  const std::string t = machine_.now;
  const std::vector<std::string> trace = Trace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[1], t + " | Visible/Closed PID=0Window=Unsaved notes, Status = -1");
  EXPECT_EQ(trace.back(), t + " | All Windows Closed");
  EXPECT_EQ(table_.waits.size(), 10u * 1000 / CloseWindows::kExitLookMs + 1)
      << "only the editor has a process to wait for";
}

// The node asked to end while a window takes its time: no more windows, and no halt.
TEST_F(CloseWindowsTest, AnEndRequestDuringTheRunStopsItAndTheHalt) {
  RecordingEventReport events;
  ShutdownModule shutdown(machine_, desktop_, loop_, windows_, events);
  const WindowHandle slow = desktop_.Add("Slow", table_.Add("slow"), -1);
  desktop_.Add("Next", table_.Add("next"));
  auto end = loop_.CreateTimer([&] { loop_.Quit(); });
  end->SetInterval(1500);
  end->SetEnabled(true);
  shutdown.CloseWindowsAndShutdown();
  EXPECT_EQ(desktop_.closes_posted, std::vector<WindowHandle>{slow});
  EXPECT_EQ(machine_.system_calls, std::vector<std::string>{});
}

}  // namespace
}  // namespace varnix
