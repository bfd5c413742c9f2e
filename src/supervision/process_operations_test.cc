// Tests of the process operations on a fake process table and desktop, on a fake clock.
#include "supervision/process_operations.h"

#include <gtest/gtest.h>

#include "fakes/fake_event_loop.h"
#include "fakes/fake_file_system.h"
#include "fakes/fake_processes.h"
#include "fakes/recording_error_log.h"

namespace varnix {
namespace {

class ProcessOperationsTest : public ::testing::Test {
 protected:
  ProcessOperationsTest() { files_.files["/opt/app/notes.bin"] = ""; }

  FakeEventLoop loop_;
  FakeProcessTable table_;
  FakeDesktop desktop_{loop_, table_};
  FakeFileSystem files_;
  RecordingEventReport events_;
  ProcessOperations ops_{table_, desktop_, files_, events_, loop_, "Linux", PathRules::Posix()};
};

TEST_F(ProcessOperationsTest, AStopThatCannotEndTheProgramSaysSo) {
  // By its window: the close and the kill each wait out their limit.
  const ProcessId pid = table_.Add("notes.bin");
  table_.processes[pid].path = "/opt/app/notes.bin";
  table_.processes[pid].killable = false;
  desktop_.Add("Notes", pid, -1);
  EXPECT_FALSE(ops_.StopProcess("/opt/app/notes.bin", "Notes"));
  EXPECT_GE(loop_.now(), 10000);
  // By its name, without a window.
  table_.processes[pid].ends_on_request = false;
  EXPECT_FALSE(ops_.StopProcess("/opt/app/notes.bin", "Unknown"));
  EXPECT_EQ(events_.events, (std::vector<std::string>{"Unable to Kill /opt/app/notes.binNotes",
                                                      "Unable to Kill /opt/app/notes.binUnknown"}));
  // With nothing running there is nothing to stop, and no wait.
  table_.processes[pid].alive = false;
  const int64_t before = loop_.now();
  EXPECT_TRUE(ops_.StopProcess("/opt/app/notes.bin", "Unknown"));
  EXPECT_EQ(loop_.now(), before);
}

// A stop by path ends the program of that very file: a namesake in another folder, whose name
// a start would take as the program asked for, is left running.
TEST_F(ProcessOperationsTest, AStopByPathEndsOnlyThatFile) {
  const ProcessId namesake = table_.Add("notes.bin");
  table_.processes[namesake].path = "/opt/other/notes.bin";
  EXPECT_TRUE(ops_.StopProcess("/opt/app/notes.bin", "Unknown")) << "nothing of that file runs";
  EXPECT_TRUE(table_.IsAlive(namesake));
}

// Windows from XP on lists whole program names: on Windows 10 a long name is found whole, by
// its path, and a stop ends that program.
TEST_F(ProcessOperationsTest, OnWindowsTenALongNameIsFoundWhole) {
  ProcessOperations windows10{
      table_, desktop_, files_, events_, loop_, "W10", PathRules::Windows()};
  const ProcessId console = table_.Add("varnix-console.exe");
  table_.processes[console].path = "C:\\Tools2\\varnix-console.exe";
  files_.files["C:\\Tools2\\varnix-console.exe"] = "";
  EXPECT_EQ(windows10.FindProgram("C:\\Tools2\\varnix-console.exe"), console);
}

TEST_F(ProcessOperationsTest, AStopNeverKillsTheProgramThatTookTheIdDuringItsWait) {
  const ProcessId pid = table_.Add("notes.bin");
  table_.processes[pid].ends_on_request = false;
  // Two seconds into the wait the program ends by itself, and its id goes to a stranger.
  auto reuse = loop_.CreateTimer([&] {
    table_.processes[pid].alive = false;
    table_.Reuse(pid, "stranger");
  });
  reuse->SetInterval(2000);
  reuse->SetEnabled(true);
  EXPECT_TRUE(ops_.StopProcess("/opt/app/notes.bin", "Unknown"));
  reuse->SetEnabled(false);
  EXPECT_EQ(table_.terminations, 0);
  EXPECT_TRUE(table_.IsAlive(pid)) << "the stranger runs on";
  EXPECT_LT(loop_.now(), 5000) << "the wait ended with the program, not at its limit";
}

TEST_F(ProcessOperationsTest, AStopNestedInAnotherStopsWaitKeepsItsOwnWait) {
  const ProcessId outer = table_.Add("outer");
  desktop_.Add("Outer", outer, 1000);
  const ProcessId inner = table_.Add("inner");
  desktop_.Add("Inner", inner, 300);
  bool inner_result = false;
  auto timer = loop_.CreateTimer([&] {
    static bool once = false;
    if (once) return;
    once = true;
    inner_result = ops_.StopProcess("/x/inner", "Inner");
  });
  timer->SetInterval(150);
  timer->SetEnabled(true);
  EXPECT_TRUE(ops_.StopProcess("/x/outer", "Outer"));
  EXPECT_TRUE(inner_result);
  EXPECT_EQ(table_.terminations, 0);
  EXPECT_TRUE(events_.events.empty()) << events_.events.front();
}

TEST_F(ProcessOperationsTest, NamesAreCutToFifteenCharactersExceptOnXP) {
  ops_.GetPIDFromName("averyveryverylongname.exe");
  ProcessOperations xp(table_, desktop_, files_, events_, loop_, "XP", PathRules::Windows());
  xp.GetPIDFromName("averyveryverylongname.exe");
  EXPECT_EQ(table_.names_asked,
            (std::vector<std::string>{"averyveryverylo", "averyveryverylongname.exe"}));
}

TEST_F(ProcessOperationsTest, QueryPrefersTheTitleAndTheVeryFile) {
  const ProcessId by_title = table_.Add("viewer");
  table_.processes[by_title].priority = PriorityClass::kOther;
  desktop_.Add("Picture Viewer", by_title);
  Status titled(table_, PathRules::Posix());
  titled.Path("/opt/app/notes.bin");
  titled.Title("viewer");
  ops_.QueryProcess(titled);
  EXPECT_EQ(titled.PID(), static_cast<int32_t>(by_title));
  EXPECT_EQ(titled.Priority(), "Unknown") << "a class without a name";

  // Of two programs of one file name, the one that runs the file asked for.
  const ProcessId other = table_.Add("sleep");
  table_.processes[other].path = "/usr/local/bin/sleep";
  const ProcessId exact = table_.Add("sleep");
  table_.processes[exact].path = "/bin/sleep";
  Status record(table_, PathRules::Posix());
  record.Path("/bin/sleep");
  ops_.QueryProcess(record);
  EXPECT_EQ(record.PID(), static_cast<int32_t>(exact));
}

// A priority by name in any case and spacing, a target or a window by number.
TEST_F(ProcessOperationsTest, NumbersAndNamesAreReadAsWritten) {
  const ProcessId pid = table_.Add("x");
  const std::string id = std::to_string(pid);
  desktop_.Add(std::to_string(pid + 1), table_.Add("y"));  // a title that looks like a number
  const std::tuple<std::string, std::string, PriorityClass> rows[] = {
      {" " + id + " ", "low", PriorityClass::kIdle},
      {id, "  high ", PriorityClass::kHigh},
      {id, "FAST", PriorityClass::kHigh},  // no such class: unchanged
  };
  for (const auto& [target, priority, after] : rows) {
    ops_.fChangeProcessPriority(target, priority);
    EXPECT_EQ(table_.processes[pid].priority, after) << target << priority;
  }
  ops_.StartProcess("/opt/app/notes.bin", "Unknown", " 3 ", "Unknown");
  EXPECT_EQ(table_.started.back(), "/opt/app/notes.bin||3");
}

TEST_F(ProcessOperationsTest, ProcessNameReportsAFolderDot) {
  ProcessOperations windows(table_, desktop_, files_, events_, loop_, "XP", PathRules::Windows());
  EXPECT_EQ(windows.ProcessName("C:\\my.tools\\run"), "C:\\my.tools\\run");
  EXPECT_EQ(events_.events,
            std::vector<std::string>{"ProcessName 10 Invalid procedure call or argument"});
}

}  // namespace
}  // namespace varnix
