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

TEST_F(ProcessOperationsTest, StartFindsRunningProgramsAndStartsOthers) {
  EXPECT_EQ(ops_.StartProcess("/opt/app/missing", "Unknown", "2", "HIGH"), 0u);
  EXPECT_TRUE(table_.started.empty());

  const ProcessId started = ops_.StartProcess("/opt/app/notes.bin", "Unknown", "2", "Unknown");
  EXPECT_NE(started, 0u);
  EXPECT_EQ(table_.started, std::vector<std::string>{"/opt/app/notes.bin||2"});
  EXPECT_EQ(table_.priority_changes, 0);

  // Running already, in whatever folder: its id, and the new priority, but no second start.
  files_.files["/elsewhere/notes.bin"] = "";
  EXPECT_EQ(ops_.StartProcess("/elsewhere/notes.bin", "-x", "1", "  high "), started);
  EXPECT_EQ(table_.started.size(), 1u);
  EXPECT_EQ(table_.processes[started].priority, PriorityClass::kHigh);

  ops_.StartProcess("/elsewhere/notes.bin", "", "2", "FAST");
  EXPECT_EQ(table_.processes[started].priority, PriorityClass::kHigh);

  table_.processes[started].alive = false;
  ops_.StartProcess("/opt/app/notes.bin", "\"a b\" ; rm", "0", "Unknown");
  EXPECT_EQ(table_.started.back(), "/opt/app/notes.bin|\"a b\" ; rm|0");

  table_.processes.clear();
  table_.refuse_start = true;
  EXPECT_EQ(ops_.StartProcess("/opt/app/notes.bin", "Unknown", "2", "HIGH"), 0u);
  EXPECT_EQ(events_.events,
            std::vector<std::string>{"StartProcess 30 The system cannot find the file specified."});
}

TEST_F(ProcessOperationsTest, NamesAreCutToFifteenCharactersExceptOnXP) {
  ops_.GetPIDFromName("averyveryverylongname.exe");
  ProcessOperations xp(table_, desktop_, files_, events_, loop_, "XP", PathRules::Windows());
  xp.GetPIDFromName("averyveryverylongname.exe");
  EXPECT_EQ(table_.names_asked,
            (std::vector<std::string>{"averyveryverylo", "averyveryverylongname.exe"}));
}

TEST_F(ProcessOperationsTest, QueryPrefersTheTitleAndNamesThePriority) {
  const ProcessId by_name = table_.Add("notes.bin");
  const ProcessId by_title = table_.Add("viewer");
  table_.processes[by_title].priority = PriorityClass::kAboveNormal;
  desktop_.Add("Picture Viewer", by_title);

  Status record(table_, PathRules::Posix());
  record.Path("/opt/app/notes.bin");
  ops_.QueryProcess(record);
  EXPECT_EQ(record.PID(), static_cast<int32_t>(by_name));
  EXPECT_EQ(record.Priority(), "NORMAL");

  record.PID(0);
  record.Title("viewer");
  ops_.QueryProcess(record);
  EXPECT_EQ(record.PID(), static_cast<int32_t>(by_title));
  EXPECT_EQ(record.Priority(), "ABOVE_NORMAL");

  table_.processes[by_title].priority = PriorityClass::kOther;
  ops_.QueryProcess(record);
  EXPECT_EQ(record.Priority(), "Unknown");

  table_.processes[by_title].alive = false;
  ops_.QueryProcess(record);
  EXPECT_EQ(record.PID(), 0);
  EXPECT_EQ(record.Priority(), "Unknown") << "kept from before";
}

TEST_F(ProcessOperationsTest, QueryKeepsTheInstanceTheRecordFollows) {
  // Another program of the same file name ran first; the record follows the one it started.
  const ProcessId other = table_.Add("sleep");
  const ProcessId ours = table_.Add("sleep");
  Status record(table_, PathRules::Posix());
  record.Path("/bin/sleep");
  record.PID(static_cast<int32_t>(ours));
  ops_.QueryProcess(record);
  EXPECT_EQ(record.PID(), static_cast<int32_t>(ours));

  // A titled program whose window is not shown yet keeps the id it was started with.
  const ProcessId viewer = table_.Add("viewer");
  Status titled(table_, PathRules::Posix());
  titled.Path("/opt/viewer");
  titled.Title("Picture Viewer");
  titled.PID(static_cast<int32_t>(viewer));
  ops_.QueryProcess(titled);
  EXPECT_EQ(titled.PID(), static_cast<int32_t>(viewer));

  // Once it has ended, the look-up finds whichever runs that file; another folder's program
  // of that name only when the file asked for exists, and never for a made-up path.
  table_.processes[ours].alive = false;
  table_.processes[other].path = "/usr/local/bin/sleep";
  ops_.QueryProcess(record);
  EXPECT_EQ(record.PID(), 0);
  files_.files["/bin/sleep"] = "";
  ops_.QueryProcess(record);
  EXPECT_EQ(record.PID(), static_cast<int32_t>(other));
  const ProcessId exact = table_.Add("sleep");
  table_.processes[exact].path = "/bin/sleep";
  Status fresh(table_, PathRules::Posix());
  fresh.Path("/bin/sleep");
  ops_.QueryProcess(fresh);
  EXPECT_EQ(fresh.PID(), static_cast<int32_t>(exact)) << "the very file comes first";
}

TEST_F(ProcessOperationsTest, ANumericTargetIsAProcessId) {
  const ProcessId pid = table_.Add("x");
  desktop_.Add(std::to_string(pid + 1), table_.Add("y"));
  ops_.fChangeProcessPriority(" " + std::to_string(pid) + " ", "low");
  EXPECT_EQ(table_.processes[pid].priority, PriorityClass::kIdle);
}

TEST_F(ProcessOperationsTest, ProcessNameReportsAFolderDot) {
  ProcessOperations windows(table_, desktop_, files_, events_, loop_, "XP", PathRules::Windows());
  EXPECT_EQ(windows.ProcessName("C:\\my.tools\\run"), "C:\\my.tools\\run");
  EXPECT_EQ(events_.events,
            std::vector<std::string>{"ProcessName 10 Invalid procedure call or argument"});
}

}  // namespace
}  // namespace varnix
