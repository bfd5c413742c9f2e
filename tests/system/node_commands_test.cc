// The real node driven over xAP by a peer behind the test hub: every request, with real programs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <regex>
#include <sstream>

#include "core/text.h"
#include "dispatch_until.h"
#include "hostile_traffic.h"
#include "platform/child_process.h"
#include "settings/ini_tool.h"
#include "system/node_fixture.h"

namespace varnix {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

class NodeCommandsTest : public NodeFixture {
 protected:
  void SetUp() override {
    WriteSettings();
    StartNode();
    ASSERT_NE(hub_->WaitForText("Data=Using xAP port"), "") << "the node did not come up";
    program_ = CopyOfThisProgram("vxprog");
  }

  // Long enough for a pass (every ten seconds) or a stop's waits on a busy machine; only a
  // failure waits it out.
  static constexpr milliseconds kPassWait{30000};

  // A peer's request, relayed to the node by the hub.
  void Send(const std::string& cls, const std::string& section, const std::string& items,
            const std::string& target = "", const std::string& source = "acme.tester.peer") {
    hub_->Relay(XapRequest(target, section + "\n{\n" + items + "}\n", cls, source));
  }
  void Control(const std::string& items) {
    Send("Computer.Process", "Process.Control", items, Target());
  }
  void Computer(const std::string& items) {
    Send("Computer.Process", "Computer.Control", items, Target());
  }

  // The body of the next message from the node (after `after` messages) whose text holds
  // `needle`; "" when none came within `limit`.
  std::string Next(const std::string& needle, milliseconds limit = milliseconds(5000)) {
    std::string found;
    // The wait asks once more after it is done: what was found stays found.
    hub_->WaitFor(
        [&] {
          if (!found.empty()) return true;
          for (; seen_ < hub_->received().size(); ++seen_) {
            const std::string& text = hub_->received()[seen_];
            if (text.find("source=qel.Process.") != std::string::npos &&
                text.find(needle) != std::string::npos) {
              found = text.substr(text.find("}\n") + 2);
              ++seen_;
              return true;
            }
          }
          return false;
        },
        limit);
    return found;
  }

  // The node's list: each named program's report, by name.
  std::map<std::string, std::string> List(const std::vector<std::string>& names) {
    const size_t from = hub_->received().size();
    Control("Action=list\n");
    std::map<std::string, std::string> reports;
    hub_->WaitFor(
        [&] {
          for (size_t i = from; i < hub_->received().size(); ++i) {
            const std::string& text = hub_->received()[i];
            if (text.find("source=qel.Process.") == std::string::npos) continue;
            for (const std::string& name : names) {
              if (text.find("\nName=" + name + "\n") != std::string::npos &&
                  text.find("\nState=") != std::string::npos) {
                reports[name] = text.substr(text.find("}\n") + 2);
              }
            }
          }
          return reports.size() == names.size();
        },
        milliseconds(10000));
    seen_ = hub_->received().size();  // what Next looks at comes after the list
    return reports;
  }
  // Starts the node after an end, and waits for its own announcement: the last run's, heard
  // already, would let a request go before the node is there to hear it.
  bool StartedAgain(const std::vector<std::string>& environment = {}) {
    seen_ = hub_->received().size();
    StartNode(environment);
    return !Next("Data=Using xAP port", milliseconds(10000)).empty();
  }
  // Stops each program ("Name=Web", "Path=/x"), and waits until the node has read them all.
  void StopAll(const std::vector<std::string>& programs) {
    for (const std::string& program : programs) Control("Action=stop\n" + program + "\n");
    Send("WDT.Echo", "Echo.Query", "Query=done\n", Target());
    EXPECT_NE(Next("done", kPassWait), "");
  }
  // A text file beside the node, executable where the system asks for it.
  std::string WriteProgram(const std::string& name, const std::string& text) {
    platform_.files->WriteAll(Path(name), text);
    MakeExecutable(Path(name));
    return Path(name);
  }
  size_t Lines(const std::string& relative) {
    return FileExists(relative) ? Split(ReadFile(relative), '\n').size() - 1 : 0;
  }
  // Where the node keeps what `program` prints.
  std::string LogOf(const std::string& program) const {
    return Path("Data/Logs/" + program.substr(program.find_last_of("/\\") + 1) + ".log");
  }
  // `log` and the older files kept beside it, up to its `older`th: "" for each not there.
  std::vector<std::string> Kept(const std::string& log, int older) const {
    std::vector<std::string> files{ReadIfAny(log)};
    for (int i = 1; i <= older; ++i) files.push_back(ReadIfAny(log + "." + std::to_string(i)));
    return files;
  }

  std::string program_;
  size_t seen_ = 0;
};

#ifdef _WIN32
// Under Wine the system's calls behind sleep, hibernate, lock and screen-off do what Wine does
// (mostly nothing); the node takes each, says what failed, and goes on answering. A log-off
// would end Wine's session, the test's own with it, so it is left to the Linux test.
TEST_F(NodeCommandsTest, SessionActionsAreTakenAndTheNodeGoesOn) {
  for (const char* action : {"sleep", "hibernate", "lock", "screenoff"}) {
    Computer(std::string("Action=") + action + "\n");
  }
  Send("WDT.Echo", "Echo.Query", "Query=still there\n", Target());
  EXPECT_NE(Next("still there", kPassWait), "");
}
#endif

TEST_F(NodeCommandsTest, StartsReportsAndStopsAProgram) {
  Control("Action=Start\nPath=" + program_ +
          "\nParameter=--helper polite\nPriority=BELOW_NORMAL\n");
  const std::string started = Next("Process.Notification");
  ASSERT_NE(started, "");
  EXPECT_EQ(Item(started, "Path"), program_);
  EXPECT_EQ(Item(started, "Title"), "<none>");
  const std::string pid = Item(started, "PID");
  EXPECT_NE(pid, "0");
  EXPECT_EQ(Item(started, "Priority"), "BELOW_NORMAL");
  EXPECT_TRUE(std::regex_match(Item(started, "CPU"), std::regex("[0-9]+"))) << started;
  EXPECT_TRUE(std::regex_match(Item(started, "RAM"), std::regex("[1-9][0-9]+"))) << started;
  EXPECT_TRUE(std::regex_match(Item(started, "Elapsed"), std::regex("[0-9]+"))) << started;
  EXPECT_TRUE(platform_.processes->IsAlive(static_cast<ProcessId>(std::stoul(pid))));
  // Asked again while it runs: the same program at the new priority, not a second one.
  Control("Action=start\nPath=" + program_ + "\nPriority=low\n");
  const std::string again = Next("Process.Notification");
  EXPECT_EQ(Item(again, "PID"), pid) << again;
  EXPECT_EQ(Item(again, "Priority"), "LOW") << again;

  Control("Action=stop\nPath=" + program_ + "\n");
  // Windows programs have hidden windows whose captions can hold the waits to their end.
  const std::string stopped = Next("Process.Notification", kPassWait);
  // The report says how it ended, after the usual items: as asked, where the system lets a
  // polite request be heard (under Wine the window's close ends in a forced end).
  const std::string usual =
      "Process.Notification\n{\nPath=" + program_ + "\nPID=0\nPriority=LOW\nCPU=\nRAM=\nElapsed=\n";
  EXPECT_EQ(stopped.substr(0, usual.size()), usual);
  if (separator_ == '/') {
    // Its handler says 0; asked before the handler is in place, the signal itself ends it.
    const std::string how = stopped.substr(usual.size());
    EXPECT_TRUE(how == "ExitCode=0\n}\n" || how == "Signal=SIGTERM\n}\n") << how;
  } else {
    EXPECT_NE(Item(stopped, "ExitCode"), "<none>") << stopped;
  }
  EXPECT_FALSE(platform_.processes->IsAlive(static_cast<ProcessId>(std::stoul(pid))));

  // The record is gone: a query adds a new one, which finds nothing running.
  Control("Action=query\nPath=" + program_ + "\n");
  EXPECT_EQ(Item(Next("Process.Notification"), "PID"), "0");
}

TEST_F(NodeCommandsTest, ACrashingProgramIsStartedAgainWithABackOffUntilStopped) {
  using Clock = std::chrono::steady_clock;
  program_ = CopyOfThisProgram("vxcrash");
  Control("Action=start\nPath=" + program_ + "\nParameter=--helper exit 3\nRestart=on-failure\n");
  // Each run told by its end, once; a start again may be told before it, as running.
  std::vector<Clock::time_point> starts;
  for (int i = 0; i < 3; ++i) {
    std::string report;
    while (report.find("ExitCode=3") == std::string::npos) {
      report = Next("Path=" + program_, milliseconds(8000));
      ASSERT_NE(report, "") << "run " << i;
    }
    starts.push_back(Clock::now());
  }
  // Started again a second after the first end, two after the second, each spread by up to
  // a fifth either way.
  const auto first_gap = starts[1] - starts[0];
  const auto second_gap = starts[2] - starts[1];
  EXPECT_GE(first_gap, milliseconds(750));
  EXPECT_LT(first_gap, milliseconds(1900));
  EXPECT_GE(second_gap, milliseconds(1550));
  EXPECT_LT(second_gap, milliseconds(3500));
  Control("Action=stop\nPath=" + program_ + "\n");
  const size_t mark = hub_->received().size();
  Pause(milliseconds(6000));
  for (size_t i = mark; i < hub_->received().size(); ++i) {
    const std::string& text = hub_->received()[i];
    if (text.find("Path=" + program_ + "\n") == std::string::npos) continue;
    EXPECT_THAT(text, HasSubstr("\nPID=0\n")) << "started again after the stop";
  }
}

TEST_F(NodeCommandsTest, AStopEndsTheProgramAndEveryProgramItStarted) {
  program_ = CopyOfThisProgram("vxtree");
  const std::string pids_file = Path("children");
  Control("Action=start\nPath=" + program_ + "\nParameter=--helper tree " + pids_file + "\n");
  const std::string parent = Item(Next("Path=" + program_), "PID");
  std::vector<ProcessId> tree{static_cast<ProcessId>(std::stoul(parent))};
  ASSERT_TRUE(hub_->WaitFor([&] {
    std::ifstream in(pids_file);
    tree.resize(1);
    for (ProcessId pid = 0; in >> pid;) tree.push_back(pid);
    return tree.size() == 3;
  }));
  // None of them heeds the polite request; after the wait all three are ended, and the report
  // says the node had to force it, after the usual items.
  Control("Action=stop\nPath=" + program_ + "\n");
  const std::string ended = Next("PID=0", kPassWait);
  EXPECT_THAT(ended, HasSubstr(separator_ == '\\' ? "\nExitCode=1\nForced=yes\n}"
                                                  : "\nSignal=SIGKILL\nForced=yes\n}"));
  for (const ProcessId pid : tree) {
    EXPECT_TRUE(
        hub_->WaitFor([&] { return !platform_.processes->IsAlive(pid); }, milliseconds(2000)))
        << pid << " runs on";
  }
}

TEST_F(NodeCommandsTest, ReportsAtEachPassAndOnceWhenAProgramEnds) {
  // Two programs of one file can't both be started by path: the second is found running.
  const std::string other = CopyOfThisProgram("vxother");
  Control("Action=start\nPath=" + program_ + "\nParameter=--helper polite\n");
  const std::string watched = Item(Next("Process.Notification"), "PID");
  Control("Action=AutoNotify\nPath=" + program_ + "\n");
  ASSERT_NE(Next("Process.Notification"), "");
  Control("Action=start\nPath=" + other + "\nParameter=--helper polite\n");
  const std::string ending = Item(Next("Path=" + other), "PID");
  ASSERT_NE(ending, "0");

  // The first pass sees both running and reports the watched one.
  // A pass comes every ten seconds; a busy machine may hold its timer back a while.
  EXPECT_EQ(Item(Next("Process.Notification", kPassWait), "PID"), watched);
  // The pass goes on to the other record after this report: let it see that one alive first.
  Pause(milliseconds(500));
  ASSERT_TRUE(platform_.processes->Terminate(static_cast<ProcessId>(std::stoul(ending))));
  // The end is reported once, as it comes, with empty figures and the run it ends; the next
  // pass reports the watched one again.
  const size_t mark = seen_;
  EXPECT_EQ(Next("Path=" + other, kPassWait),
            "Process.Notification\n{\nPath=" + other +
                "\nPID=0\nPriority=NORMAL\nCPU=\nRAM=\nElapsed=\n" +
                (separator_ == '\\' ? "ExitCode=1" : "Signal=SIGKILL") + "\nEnded=" + ending +
                "\n}\n");
  seen_ = mark;
  EXPECT_EQ(Item(Next("Path=" + program_ + "\n", kPassWait), "PID"), watched);
  if (HasFailure()) {
    for (size_t i = 0; i < hub_->received().size(); ++i) {
      ADD_FAILURE() << hub_->received_at()[i] << "\n" << hub_->received()[i];
    }
  }
  Control("Action=stop\nPath=" + program_ + "\n");
  Next("PID=0", kPassWait);

  // A program that announces itself before it runs is looked for at each pass, and reported
  // once found. Windows keeps the announced path in lower case.
  const std::string announced = CopyOfThisProgram("vxannounced");
  Send("Homeseer.Role", "Role.Notification", "Path=" + announced + "\n", "",
       "acme.vxannounced." + platform_.machine->ComputerName());
  Pause(milliseconds(500));
  auto running = StartChildProcess(announced, {"--helper", "polite"});
  const std::string said = separator_ == '\\' ? LowerCase(announced) : announced;
  EXPECT_EQ(Item(Next("Path=" + said + "\n", kPassWait), "PID"), std::to_string(running->Pid()));
  running->Kill();
}

// Programs that end after their first second, before any pass has seen them: on their own at
// 3 s and at 12 s, and ended from outside at 4 s. Each end is told as it comes, once, and the
// ended program is collected at once.
TEST_F(NodeCommandsTest, EveryEndIsToldAsItComesAndOnce) {
  struct Program {
    std::string path;
    std::string parameter;
    std::string how;  // how its end is told
    ProcessId pid = 0;
    int64_t ended_ms = 0;  // when this test saw it gone, on the loop's clock
  };
  const bool windows = separator_ == '\\';
  Program programs[] = {
      {CopyOfThisProgram("vxearly"), "--helper later 3000 0", "ExitCode=0"},
      {CopyOfThisProgram("vxlate"), "--helper later 12000 3", "ExitCode=3"},
      {CopyOfThisProgram("vxkilled"), "--helper polite", windows ? "ExitCode=1" : "Signal=SIGKILL"},
  };
  for (Program& program : programs) {
    Control("Action=start\nPath=" + program.path + "\nParameter=" + program.parameter + "\n");
    const std::string started = Item(Next("Path=" + program.path + "\n"), "PID");
    ASSERT_NE(started, "0");
    ASSERT_NE(started, "<none>");
    program.pid = static_cast<ProcessId>(std::stoul(started));
  }
  const int64_t began = platform_.loop->NowMilliseconds();
  const auto told = [&](const Program& program) {
    std::vector<size_t> found;
    for (size_t i = 0; i < hub_->received().size(); ++i) {
      const std::string& text = hub_->received()[i];
      if (text.find("Path=" + program.path + "\n") != std::string::npos &&
          text.find("\nPID=0\n") != std::string::npos) {
        found.push_back(i);
      }
    }
    return found;
  };
  // Watched from here as often as the loop turns, past the next two passes.
  hub_->WaitFor(
      [&] {
        const int64_t now = platform_.loop->NowMilliseconds();
        if (now - began >= 4000 && platform_.processes->IsAlive(programs[2].pid)) {
          platform_.processes->Terminate(programs[2].pid);
        }
        for (Program& program : programs) {
          if (program.ended_ms == 0 && !platform_.processes->IsAlive(program.pid)) {
            program.ended_ms = now;
          }
        }
        return now - began >= 24000;
      },
      milliseconds(40000));
  const int64_t allowed = windows ? 1000 : 500;
  for (const Program& program : programs) {
    ASSERT_NE(program.ended_ms, 0) << program.path << " never ended";
    const std::vector<size_t> ends = told(program);
    ASSERT_EQ(ends.size(), 1u) << program.path << " told " << ends.size() << " times";
    const std::string& end = hub_->received()[ends[0]];
    EXPECT_THAT(end, HasSubstr("\n" + program.how + "\n"));
    EXPECT_LE(hub_->received_at()[ends[0]] - program.ended_ms, allowed)
        << program.path << " ended at " << program.ended_ms - began << " ms";
    if (!windows) {
      EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(program.pid)))
          << "left a zombie";
    }
  }
  // Started a second or two before the watch began: it ends on its own, near its 12th second.
  EXPECT_GE(programs[1].ended_ms - began, 9000) << "the 12-s program, at its own time";
}

// A node whose [Access] section lets only the test's controller start only its program.
class NodeAccessTest : public NodeCommandsTest {
 protected:
  void SetUp() override {
    platform_.files->CreateFolder(Path("Config"));
    platform_.files->WriteAll(Path("Config/settings.ini"),
                              "[Access]\r\nAllowSources=acme.tester.*\r\nAllowPrograms=" +
                                  Path(separator_ == '\\' ? "vxprog*.exe" : "vxprog*") +
                                  "\r\nAllowComputerControl=no\r\n");
    NodeCommandsTest::SetUp();
  }
};

TEST_F(NodeAccessTest, RefusesOtherSourcesProgramsAndComputerControl) {
  const std::string other = CopyOfThisProgram("vxother");
  Control("Action=start\nPath=" + other + "\nParameter=--helper polite\n");
  EXPECT_NE(Next("Data=Refused start of " + other + " from acme.tester.peer"), "");
  Send("Computer.Process", "Process.Control", "Action=start\nPath=" + program_ + "\n", Target(),
       "evil.intruder.pc9");
  EXPECT_NE(Next("Data=Refused start of " + program_ + " from evil.intruder.pc9"), "");
  Computer("Action=Reboot\n");
  EXPECT_NE(Next("Data=Refused reboot of " + platform_.machine->ComputerName()), "");
  const std::string name = other.substr(other.find_last_of("/\\") + 1);
  EXPECT_EQ(platform_.processes->FindByName(name.substr(0, separator_ == '/' ? 15 : 255)), 0u);

  // What is allowed still works, and the computer query still answers.
  Control("Action=start\nPath=" + program_ + "\nParameter=--helper polite\n");
  const std::string started = Next("Process.Notification");
  EXPECT_NE(Item(started, "PID"), "0") << started;
  Computer("Query=IP\n");
  EXPECT_NE(Next("Computer.Notification"), "");
  Control("Action=stop\nPath=" + program_ + "\n");
  Next("PID=0", kPassWait);
  EXPECT_EQ(EndNode(), 0);
  const std::string log = ReadFile("Data/Korvane.txt");
  EXPECT_THAT(log, HasSubstr("Refused start of " + other));
  EXPECT_THAT(log, HasSubstr("Refused reboot of"));
}

#ifndef _WIN32
// [Logs] Group= shares the logs with one group, and with nobody else: the folder passes the
// group on to each log made in it.
TEST_F(NodeCommandsTest, LogsGroupSharesTheLogsWithThatGroupAlone) {
  ASSERT_EQ(EndNode(), 0);
  platform_.files->WriteAll(Path("Config/settings.ini"), "[Logs]\r\nGroup=nogroup\r\n");
  ASSERT_TRUE(StartedAgain());
  const std::string say = CopyOfThisProgram("vxgroupsay");
  const std::string log = LogOf(say);
  Control("Action=start\nPath=" + say + "\nParameter=--helper say 2\n");
  ASSERT_TRUE(FileHolds(log, "trouble 2", milliseconds(10000))) << ReadFile("Data/Korvane.txt");
  const group* shared = ::getgrnam("nogroup");
  ASSERT_NE(shared, nullptr);
  struct stat folder {};
  struct stat file {};
  ASSERT_EQ(::stat(Path("Data/Logs").c_str(), &folder), 0);
  ASSERT_EQ(::stat(log.c_str(), &file), 0);
  EXPECT_EQ(folder.st_mode & 07777, 02750u);
  EXPECT_EQ(file.st_mode & 0777, 0640u);
  EXPECT_EQ(folder.st_gid, shared->gr_gid);
  EXPECT_EQ(file.st_gid, shared->gr_gid);
}
#endif

// What a program says is kept in its log, stamped and marked, bounded however much it says,
// and read over the network by those who may run it, and nobody else.
TEST_F(NodeAccessTest, KeepsEachProgramsOutputBoundedAndAnswersOnlyThoseAllowed) {
  const std::string say = CopyOfThisProgram("vxprogsay");
  Control("Action=start\nPath=" + say + "\nParameter=--helper say 30\n");
  ASSERT_TRUE(FileHolds(LogOf(say), "trouble 30\n"));
  const std::string kept = platform_.files->ReadBytes(LogOf(say));
  const std::string stamp = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d";
  EXPECT_TRUE(std::regex_search(kept, std::regex("(^|\n)" + stamp + " out line 1 <b>bold</b>\n")))
      << kept;
  EXPECT_TRUE(std::regex_search(kept, std::regex("(^|\n)" + stamp + " err trouble 30\n"))) << kept;
  EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), 60) << kept;
#ifndef _WIN32
  // What a program prints may hold its secrets: the node's user's alone.
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::status(Path("Data/Logs")).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(fs::status(LogOf(say)).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif

  // The last five, in order, in one message to the one who asked.
  Control("Action=log\nPath=" + say + "\nLines=5\n");
  const std::string answer = Next("Process.Log");
  ASSERT_NE(answer, "");
  EXPECT_EQ(Item(answer, "Lines"), "5");
  size_t from = kept.size() - 1;
  for (int i = 0; i < 5; ++i) from = kept.rfind('\n', from - 1);
  std::string told;
  for (int i = 1; i <= 5; ++i) told += Item(answer, "Line" + std::to_string(i)) + "\n";
  EXPECT_EQ(told, kept.substr(from + 1)) << answer;

  // 5 MB: rotated into 1 MiB files, three kept, the disk within its bound.
  const auto sizes = [&](const std::string& log) {
    std::vector<uintmax_t> found;
    for (int i = 0; i <= 4; ++i) {
      std::error_code gone;  // rotated away meanwhile
      const uintmax_t size =
          std::filesystem::file_size(i == 0 ? log : log + "." + std::to_string(i), gone);
      found.push_back(gone ? 0 : size);
    }
    return found;
  };
  const std::string flood = CopyOfThisProgram("vxprogflood");
  const std::string report = Path("flood.txt");
  Control("Action=start\nPath=" + flood + "\nParameter=--helper flood 5000000 " + report + "\n");
  std::vector<uintmax_t> settled;
  ASSERT_TRUE(Within(milliseconds(30000), [&] {
    const std::vector<uintmax_t> now = sizes(LogOf(flood));
    const bool same = now == settled;
    settled = now;
    platform_.loop->DispatchPending(milliseconds(500));
    return same && platform_.files->FileExists(report) && now[3] > 0;
  })) << "the flood's log did not settle";
  EXPECT_EQ(settled[4], 0u) << "a fourth old file";
  for (const uintmax_t size : settled) EXPECT_LE(size, 1048576u);

  // Short lines faster than they can be written: the program goes on unheld, the lines that
  // could not be kept are counted.
  const std::string fast = CopyOfThisProgram("vxprogfast");
  const std::string timing = Path("fast.txt");
  Control("Action=start\nPath=" + fast + "\nParameter=--helper flood 20000000 " + timing + " 2\n");
  ASSERT_TRUE(Within(milliseconds(30000), [&] { return platform_.files->FileExists(timing); }));
  long long total_ms = 0;
  long long longest_ms = 0;
  std::istringstream(platform_.files->ReadAll(timing)) >> total_ms >> longest_ms;
  EXPECT_LT(longest_ms, 1000) << "a write of 64 KiB was held up";
  const std::regex said(" --- \\.\\.\\. [0-9,]+ lines? dropped in all\n");
  EXPECT_TRUE(Within(milliseconds(30000),
                     [&] {
                       const std::vector<std::string> files = Kept(LogOf(fast), 3);
                       return std::any_of(files.begin(), files.end(), [&](const std::string& text) {
                         return std::regex_search(text, said);
                       });
                     }))
      << "nothing said of lines dropped; the flood took " << total_ms << " ms";
  size_t disk = 0;
  for (const size_t size : sizes(LogOf(fast))) disk += size;
  EXPECT_LE(disk, 4u * 1048576u);

  // The node killed and started again: the program writes on, unharmed (with the node holding
  // its pipe, its next line would have ended it), and what it says is still kept.
  const std::string ticker = CopyOfThisProgram("vxprogticks");
  Control("Action=start\nPath=" + ticker + "\nParameter=--helper ticks 50 100\n");
  const std::string pid = Item(Next("Path=" + ticker + "\n"), "PID");
  ASSERT_NE(pid, "0");
  KillNode();
  StartNode();
  EXPECT_TRUE(FileHolds(LogOf(ticker), " out tick 45\n")) << ReadIfAny(LogOf(ticker));
  // Kept by the relay program of its own, not by a copy of the node.
  EXPECT_NE(
      platform_.processes->FindByFileName(separator_ == '\\' ? "varnix-relay.exe" : "varnix-relay"),
      0u);
}

// A viewer that holds a log open as tail-style viewers do, sharing reads and writes but not
// renames (which keeps a file from being renamed on Windows), costs no line, and the kept
// files' numbers have no holes.
class NodeLogViewerTest : public NodeCommandsTest {
 protected:
  void SetUp() override {
    platform_.files->CreateFolder(Path("Config"));
    platform_.files->WriteAll(Path("Config/settings.ini"),
                              "[Logs]\r\nMaxBytes=65536\r\nFiles=20\r\n");
    NodeCommandsTest::SetUp();
  }
};

TEST_F(NodeLogViewerTest, ALogHeldOpenByAViewerRotatesWithoutLosingALine) {
  const std::string ticker = CopyOfThisProgram("vxviewed");
  const std::string log = LogOf(ticker);
  Control("Action=start\nPath=" + ticker + "\nParameter=--helper ticks 4000 1\n");
  ASSERT_TRUE(Within(milliseconds(30000), [&] { return platform_.files->FileExists(log); }));
  {
    std::ifstream viewer(log);
    ASSERT_TRUE(viewer.is_open());
    ASSERT_TRUE(Within(milliseconds(60000), [&] {
      const auto files = Kept(log, 20);
      return std::any_of(files.begin(), files.end(), [](const std::string& text) {
        return text.find(" tick 4000\n") != std::string::npos;
      });
    }));
  }
  std::vector<int> ticks;
  const std::vector<std::string> files = Kept(log, 20);
  EXPECT_FALSE(files[2].empty()) << "rotated at least twice";
  for (const std::string& text : files) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
      if (const size_t at = line.find(" out tick "); at != std::string::npos) {
        ticks.push_back(std::stoi(line.substr(at + 10)));
      }
    }
  }
  std::sort(ticks.begin(), ticks.end());
  std::vector<int> every(4000);
  std::iota(every.begin(), every.end(), 1);
  EXPECT_TRUE(ticks == every) << ticks.size() << " lines kept of 4000";
}

// A relay ended by force (taskkill /F) leaves its program running with its output lost: told
// in the program's reports, the node's log and the program's own log; a new start keeps its
// output again.
TEST_F(NodeCommandsTest, ARelayEndedByForceIsToldAndANewStartKeepsOutputAgain) {
  const std::string ticker = CopyOfThisProgram("vxrelayed");
  const std::string log = LogOf(ticker);
  Control("Action=start\nPath=" + ticker + "\nParameter=--helper ticks 600 100 on\n");
  ASSERT_TRUE(FileHolds(log, " out tick 2\n"));
  const std::string relay = separator_ == '\\' ? "varnix-relay.exe" : "varnix-relay";
  for (int i = 0; i < 20 && platform_.processes->FindByFileName(relay) != 0; ++i) {
    platform_.processes->Terminate(platform_.processes->FindByFileName(relay));
  }
  const std::string report = Next("Output=not kept: its relay ended at ", kPassWait);
  ASSERT_NE(report, "");
  EXPECT_EQ(Item(report, "Path"), ticker);
  EXPECT_NE(Item(report, "PID"), "0");
  EXPECT_TRUE(FileHolds(log, " --- ... output from here on not kept: its relay ended at "));
  EXPECT_THAT(ReadFile("Data/Korvane.txt"), HasSubstr("The output of vxrelayed"));

  Control("Action=stop\nPath=" + ticker + "\n");
  ASSERT_NE(Next("PID=0", kPassWait), "");
  Control("Action=start\nPath=" + ticker + "\nParameter=--helper ticks 600 100 on\n");
  const std::string again = Next("Path=" + ticker + "\n");
  EXPECT_THAT(again, Not(HasSubstr("Output=")));
  EXPECT_TRUE(Within(milliseconds(20000), [&] {
    const std::string text = platform_.files->ReadBytes(log);
    const size_t note = text.find("output from here on not kept");
    return note != std::string::npos && text.find(" out tick 2\n", note) != std::string::npos;
  })) << "the new start's output is not kept";
}

// Sensors of the user's own: each shape of command and output read as settings.ini declares
// it, told as it is read, and all of them again to a query that names the node.
TEST_F(NodeCommandsTest, EachSensorOfTheUsersOwnIsReadOrSaysWhyNot) {
  ASSERT_EQ(EndNode(), 0);
  const auto sensor = [&](const std::string& name, const std::string& parameter,
                          const std::string& more) {
    return "[Sensor " + name + "]\r\nCommand=" + program_ + "\r\nParameter=--helper " + parameter +
           "\r\n" + more;
  };
  platform_.files->WriteAll(
      Path("Config/settings.ini"),
      sensor("Fan", "print 1200.5", "Kind=number\r\nUnit=rpm\r\n") +
          sensor("Mode", "print eco mode", "") +
          sensor("Door", "print YES", "Kind=on-off\r\nInterval=5\r\n") +
          sensor("Slow", "later 20000 0", "Timeout=1\r\n") +
          sensor("Broken", "exit 2", "Kind=number\r\n") +
          sensor("Flood", "flood 10485760 " + Path("flood.txt"), "") +
          sensor("Odd", "print warm", "Kind=number\r\n") +
#ifdef _WIN32
          // A batch file is a command line of its own, run by the system's interpreter.
          "[Sensor Batch]\r\nCommand=" + Path("reading.bat") + "\r\nKind=number\r\n" +
#endif
          // Last: it runs while the test asks after the program of the same file, which a
          // script runs as its child.
          "[Sensor Long]\r\nCommand=" + Path("long.bat") + "\r\nTimeout=3\r\n");
#ifdef _WIN32
  platform_.files->WriteAll(Path("reading.bat"), "@echo off\r\necho 42\r\n");
  platform_.files->WriteAll(Path("long.bat"),
                            "@echo off\r\n\"" + program_ + "\" --helper later 20000 0\r\n");
#else
  platform_.files->WriteAll(Path("long.bat"),
                            "#!/bin/sh\n'" + program_ + "' --helper later 20000 0\necho done\n");
  MakeExecutable(Path("long.bat"));
#endif
  hub_->Reset();
  seen_ = 0;
  StartNode();
  std::map<std::string, std::string> expected{{"Fan", "Kind=number\nUnit=rpm\nValue=1200.5"},
                                              {"Mode", "Kind=text\nValue=eco mode"},
                                              {"Door", "Kind=on-off\nValue=on"},
                                              {"Slow", "Kind=text\nProblem=timed out after 1 s"},
                                              {"Broken", "Kind=number\nProblem=exit 2"},
                                              {"Flood", "Kind=text\nValue=" + std::string(15, 'x')},
                                              {"Odd", "Kind=number\nProblem=not a number: warm"}};
#ifdef _WIN32
  expected["Batch"] = "Kind=number\nValue=42";
#endif
  for (const auto& [name, items] : expected) {
    EXPECT_EQ(Next("Name=" + name + "\n", milliseconds(20000)),
              "Computer.Sensor\n{\nName=" + name + "\n" + items + "\n}\n");
    seen_ = 0;
  }
  // Long runs now, its script running the same file as a program: it is the node's own, not
  // that program. Asked once the script's child runs, as the test sees it.
  const std::string image = program_.substr(program_.find_last_of("/\\") + 1);
  EXPECT_TRUE(Within(milliseconds(10000),
                     [&] { return platform_.processes->FindByPath(program_, image) != 0; }));
  Control("Action=query\nPath=" + program_ + "\n");
  EXPECT_EQ(Item(Next("Process.Notification"), "PID"), "0");
  expected["Long"] = "Kind=text\nProblem=timed out after 3 s";
  EXPECT_NE(Next("Name=Long\n", milliseconds(10000)), "");
  const size_t asked = hub_->received().size();
  Computer("Query=Sensors\n");
  for (const auto& [name, items] : expected) {
    seen_ = asked;
    EXPECT_NE(Next("Name=" + name + "\n" + items), "") << name;
  }
#ifndef _WIN32
  // No reading fills the disk: the flood was ended at the bound, its first line read.
  EXPECT_FALSE(FileExists("flood.txt"));
  EXPECT_LE(platform_.files->FileSize(Path("Data/sensor-output.txt")), 65536u);
#endif
  EXPECT_EQ(EndNode(), 0);
  EXPECT_THAT(ReadFile("Data/Korvane.txt"),
              HasSubstr("The sensor Slow has no reading: timed out after 1 s"));
}

#ifndef _WIN32
// Who is at the computer, from a stand-in logind on a bus of the test's own: in the status
// answer, and each lock, new user and lost seat told at once, as logind signals them.
TEST_F(NodeCommandsTest, WhoIsAtTheComputerIsToldAsLogindTellsIt) {
  ASSERT_EQ(EndNode(), 0);
  StandInLogind logind(*platform_.loop);
  ASSERT_TRUE(logind.ready());
  hub_->Reset();
  ASSERT_TRUE(StartedAgain({logind.environment()}));
  Computer("Query=Status\n");
  const std::string status = Next("Computer.Status");
  EXPECT_EQ(Item(status, "User"), "alice") << status;
  EXPECT_EQ(Item(status, "Locked"), "no");
  EXPECT_GE(std::stoi(Item(status, "IdleSeconds")), 90);

  logind.Tell({"org.varnix.Test.Lock", "boolean:true"});
  EXPECT_EQ(Next("Computer.Presence"),
            "Computer.Presence\n{\nUser=alice\nLocked=yes\nIdleSeconds=" +
                Item(status, "IdleSeconds") + "\n}\n");
  logind.Tell({"org.varnix.Test.Become", "string:bob"});
  EXPECT_NE(Next("Computer.Presence\n{\nUser=bob\nLocked=yes\nIdleSeconds=0"), "");

  // A notice, through the session user's own bus to its notification service: shown as
  // written (the service reads markup), and the action chosen told.
  Computer("Notify=Tea & cake <b>now</b>\nTitle=Kitchen\nActions=Yes;No\nTimeout=30\nRequest=n1\n");
  ASSERT_TRUE(Within(milliseconds(5000),
                     [&] { return logind.Notices().find("Kitchen") != std::string::npos; }));
  logind.Tell({"org.varnix.Test.Answer", "string:No"});
  EXPECT_NE(Next("Computer.Notice\n{\nTitle=Kitchen\nRequest=n1\nOutcome=answered\nAction=No\n}"),
            "");
  EXPECT_EQ(logind.Notices(),
            "[\"Varnix\", \"Kitchen\", \"Tea &amp; cake &lt;b&gt;now&lt;/b&gt;\", [\"Yes\", "
            "\"Yes\", \"No\", \"No\"], 30000]\n");
  // One nobody answers is taken away at its time.
  Computer("Notify=Anyone?\nTimeout=1\n");
  EXPECT_NE(Next("Computer.Notice\n{\nTitle=Varnix\nOutcome=no answer\n}"), "");
  EXPECT_THAT(logind.Notices(), HasSubstr("[\"closed\", 2]"));

  logind.Tell({"org.varnix.Test.LeaveSeat"});
  EXPECT_NE(Next("Computer.Presence\n{\nSession=none\nUser=\nLocked=no\n}"), "");
  Computer("Notify=Hello\n");
  EXPECT_NE(Next("Computer.Notice\n{\nTitle=Varnix\nOutcome=not shown\nProblem=nobody is at the "
                 "computer (no active local session)\n}"),
            "");
  // A logind that is gone is said at once, not taken for nobody at the computer.
  logind.End();
  EXPECT_NE(Next("Computer.Presence\n{\nPresence=not known: D-Bus: "), "");
  Computer("Query=Status\n");
  EXPECT_THAT(Item(Next("Computer.Status"), "Presence"), HasSubstr("not known: D-Bus: "));
  EXPECT_EQ(EndNode(), 0);
}
#else
// Who is at the computer, from the console session as the WTS functions tell it, and the
// thermal zones as WMI shows them; what this Windows does not tell is left out, not made up.
TEST_F(NodeCommandsTest, WhoIsAtTheComputerIsToldAsTheConsoleSessionHasIt) {
  Computer("Query=Status\n");
  const std::string status = Next("Computer.Status");
  const std::string user = Item(status, "User");
  EXPECT_TRUE(user != "<none>" && !user.empty()) << status;
  // Wine tells the last input, not the lock.
  EXPECT_NE(Item(status, "IdleSeconds").find_first_of("0123456789"), std::string::npos) << status;
  EXPECT_TRUE(Item(status, "Locked") == "<none>" || Item(status, "Locked") == "no") << status;
  // The thermal zones through WMI, or that there are none (Wine's WMI shows no zone).
  EXPECT_TRUE(Item(status, "Temperatures").starts_with("none") ||
              Item(status, "Temperature1") != "<none>")
      << status;
  // A message box has its own buttons: other answers are refused, saying which it has.
  Computer("Notify=Hello\nActions=Maybe;Later\n");
  EXPECT_NE(Next("Outcome=not shown\nProblem=a Windows message box offers only OK, "), "");
  Computer("Notify=Hello\nActions=yes;no\nTimeout=5\n");
  // Wine has no WTSSendMessage of its own, and says so; a Windows shows it, and nobody answers.
  const std::string notice = Next("Computer.Notice", milliseconds(10000));
  EXPECT_TRUE(Item(notice, "Problem") ==
                  "Windows did not show it (WTSSendMessage: not available here)" ||
              Item(notice, "Outcome") == "no answer")
      << notice;
}
#endif

// A settings file as Notepad saves it, with its mark and CR LF, or as "Unicode": what it
// requires holds, for a user who believes signatures are required.
TEST_F(NodeCommandsTest, SettingsSavedByNotepadTakeEffect) {
  std::string utf16 = "\xFF\xFE";
  const std::string text = "[Access]\r\nRequireSignature=yes\r\n";
  for (const char c : text) utf16 += std::string{c, '\0'};
  for (const std::string& bytes : {"\xEF\xBB\xBF" + text, utf16}) {
    ASSERT_EQ(EndNode(), 0);
    std::ofstream(std::filesystem::path(Path("Config/settings.ini")), std::ios::binary) << bytes;
    ASSERT_TRUE(StartedAgain());
    Control("Action=start\nPath=" + program_ + "\nParameter=--helper polite\n");
    const std::string refused = Next("Data=Refused start of " + program_);
    EXPECT_THAT(refused, HasSubstr("not signed")) << bytes.substr(0, 3) << refused;
  }
}

#ifndef _WIN32
TEST_F(NodeCommandsTest, AShortJobStartedAThousandTimesHoldsNoMoreMemory) {
#ifdef VARNIX_SANITIZED
  GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine: the figure is its own";
#endif
  uint64_t after_first_hundred = 0;
  for (int round = 0; round < 100; ++round) {
    for (int i = 0; i < 10; ++i) Control("Action=start\nPath=/bin/true\n");
    for (int i = 0; i < 10; ++i) ASSERT_NE(Next("Path=/bin/true"), "") << round << " " << i;
    if (round == 9) after_first_hundred = ResidentKiB(node_->Pid());
  }
  EXPECT_LE(ResidentKiB(node_->Pid()), after_first_hundred + 64);
}

TEST_F(NodeCommandsTest, ALostDisplayLeavesTheNodeAnswering) {
  // A display of the node's own, which goes away as on a logout.
  EndNode();
  // Xvfb picks a free display and names it once it serves: a run beside this one shares /tmp,
  // and may hold the lock of any number this test would choose.
  const std::string named = Path("display");
  auto server = StartChildProcess(
      "/bin/sh", {"-c", "exec /usr/bin/Xvfb -displayfd 3 -nolisten tcp 3>" + named});
  std::string number;
  ASSERT_TRUE(hub_->WaitFor([&] { return (number = ReadIfAny(named)).ends_with('\n'); }));
  const std::string display = ":" + number.substr(0, number.size() - 1);
  ASSERT_TRUE(StartedAgain({"DISPLAY=" + display}));
  // A stop walks the windows, so the node holds a connection when the server goes.
  Control("Action=start\nPath=" + program_ + "\nParameter=--helper polite\n");
  ASSERT_NE(Item(Next("Process.Notification"), "PID"), "0");
  Control("Action=query\nPath=" + program_ + "\nTitle=Nothing Shown\n");
  ASSERT_NE(Next("Process.Notification"), "");
  server.reset();

  Control("Action=stop\nPath=" + program_ + "\n");
  EXPECT_NE(Next("PID=0", kPassWait), "");
  Send("WDT.Echo", "Echo.Query", "Query=still here\n");
  EXPECT_NE(hub_->WaitForText("Response=still here"), "");
  EXPECT_EQ(EndNode(), 0);
}
#endif

// Each shape a program is declared in is one program with one run: across a restart of the
// node, asked to end or killed, the same process runs on and none runs twice; what ended for
// good or was given up in this boot stays so; killed from outside, a kept one runs again.
TEST_F(NodeCommandsTest, EveryShapeOfDeclaredProgramRunsOnceAcrossRestartsOfTheNode) {
  ASSERT_EQ(EndNode(), 0);
  const std::string stay = "--helper polite 300";
  std::string ini;
  const auto declare = [&](const std::string& name, const std::string& path,
                           const std::string& parameter, const std::string& more = "") {
    ini += "[Program " + name + "]\r\nPath=" + path + "\r\nParameter=" + parameter + "\r\n" + more;
  };
  declare("Plain", CopyOfThisProgram("vxplain"), stay, "Restart=no\r\n");
  declare("Once", CopyOfThisProgram("vxonce"), "--helper count " + Path("once-runs") + " 0");
  declare("Failing", CopyOfThisProgram("vxfailing"),
          "--helper count " + Path("failing-runs") + " 3");
  // A bare name, found on the node's PATH.
  platform_.files->CreateFolder(Path("bin"));
  const std::string bare = CopyOfThisProgram("vxbare");
  platform_.files->Rename(bare, Path("bin") + bare.substr(bare.find_last_of("/\\")));
  declare("Bare", "vxbare", stay);
#ifdef _WIN32
  // A batch file runs as cmd.exe.
  declare("Batch",
          WriteProgram("vxbatch.bat",
                       "@echo off\r\n\"" + CopyOfThisProgram("vxbatched") + "\" " + stay + "\r\n"),
          "");
  const std::vector<std::string> kept = {"Plain", "Bare", "Batch"};
  const std::string path = "PATH=" + Path("bin") + ";" + std::getenv("PATH");
#else
  // A script runs as its interpreter, a wrapper as what it runs, a link as its target.
  declare("Script",
          WriteProgram("vxscript.py",
                       "#!/usr/bin/env python3\nimport time\nwhile True:\n    time.sleep(1)\n"),
          "");
  declare("Wrapper",
          WriteProgram("vxwrapper",
                       "#!/bin/sh\nexec \"" + CopyOfThisProgram("vxwrapped") + "\" " + stay + "\n"),
          "");
  std::filesystem::create_symlink(CopyOfThisProgram("vxlinked"), Path("vxlink"));
  declare("Linked", Path("vxlink"), stay);
  const std::vector<std::string> kept = {"Plain", "Bare", "Script", "Wrapper", "Linked"};
  const std::string path = "PATH=" + Path("bin") + ":" + std::getenv("PATH");
#endif
  platform_.files->WriteAll(Path("Config/programs.ini"), ini);
  std::vector<std::string> names = kept;
  names.insert(names.end(), {"Once", "Failing"});

  StartNode({path});
  ASSERT_NE(Next("GaveUp=yes", milliseconds(60000)), "") << "Failing was never given up";
  std::map<std::string, ProcessId> pids;
  for (const auto& [name, report] : List(names)) pids[name] = PidOf(report);
  for (const std::string& name : kept) ASSERT_NE(pids[name], 0u) << name << " does not run";

  for (const bool killed : {false, true}) {
    SCOPED_TRACE(killed ? "after the node was killed" : "after the node was asked to end");
    if (killed) {
      KillNode();
    } else {
      ASSERT_EQ(EndNode(), 0);
    }
    ASSERT_TRUE(StartedAgain({path}));
    Pause(milliseconds(2500));  // a start at boot would have had its first second by now
    const std::map<std::string, std::string> list = List(names);
    for (const std::string& name : kept) {
      EXPECT_EQ(PidOf(list.at(name)), pids[name]) << name << ": " << list.at(name);
    }
    EXPECT_EQ(Item(list.at("Once"), "State"), "not running");
    EXPECT_EQ(Item(list.at("Failing"), "State"), "gave up");
    EXPECT_EQ(Item(list.at("Failing"), "LastEnd"), "exit 3");
    EXPECT_EQ(Lines("once-runs"), 1u) << "the one-shot ran again";
    EXPECT_EQ(Lines("failing-runs"), 5u) << "the given-up program ran again";
  }

  for (const std::string& name : kept) {
    ASSERT_TRUE(platform_.processes->Terminate(pids[name])) << name;
  }
  const auto restarted = [&](const std::map<std::string, std::string>& list) {
    return std::all_of(kept.begin(), kept.end(), [&](const std::string& name) {
      const ProcessId now = PidOf(list.at(name));
      return name == "Plain" ? now == 0 : now != 0 && now != pids[name];
    });
  };
  const auto killed = Clock::now();
  std::map<std::string, std::string> list;
  while (Clock::now() - killed < milliseconds(6000) && !restarted(list = List(names))) {
    Pause(milliseconds(200));
  }
  EXPECT_TRUE(restarted(list)) << "not each kept program ran again, and Plain did not stay ended";
  EXPECT_LT(Clock::now() - killed, milliseconds(3000 + 500));

  // Without its promises (a file garbled), the node goes by what runs, found by its file: a
  // wrapper, a script through env or a batch file runs as another program, and starts again.
  for (const std::string& name : kept) pids[name] = PidOf(list.at(name));
  ASSERT_EQ(EndNode(), 0);
  platform_.files->WriteAll(Path("Data/promises.txt"), std::string(5000, '\x01'));
  ASSERT_TRUE(StartedAgain({path}));
  Pause(milliseconds(2500));
  list = List(names);
  for (const std::string& name : kept) {
    if (name == "Plain" || name == "Wrapper" || name == "Script" || name == "Batch") continue;
    EXPECT_EQ(PidOf(list.at(name)), pids[name]) << name << ": " << list.at(name);
  }
  EXPECT_TRUE(FileExists("Data/promises.txt.unreadable"));
  for (const std::string& name : kept) StopAll({"Name=" + name});
  // The copies started again leave the first ones running, which nothing else would end.
  for (const std::string& name : kept) {
    if (pids[name] != 0 && PidOf(list.at(name)) != pids[name]) {
      platform_.processes->Terminate(pids[name]);
    }
  }
#ifdef _WIN32
  for (int i = 0; i < 5; ++i) {
    if (const ProcessId batched = platform_.processes->FindByName("vxbatched.exe")) {
      platform_.processes->Terminate(batched);
    }
  }
#endif
}

// A program that comes after a script starts once the script runs: started by hand later, and
// after a restart of the node in which both ended meanwhile, in that order. Stopped by name,
// a program stays stopped across restarts of the node.
TEST_F(NodeCommandsTest, AProgramAfterAScriptStartsOnceTheScriptRuns) {
  ASSERT_EQ(EndNode(), 0);
#ifdef _WIN32
  const std::string web =
      WriteProgram("vxweb.bat", "@echo off\r\n\"" + CopyOfThisProgram("vxwebbed") +
                                    "\" --helper polite 300\r\n");
#else
  const std::string web = WriteProgram(
      "vxweb.py", "#!/usr/bin/env python3\nimport time\nwhile True:\n    time.sleep(1)\n");
#endif
  platform_.files->WriteAll(Path("Config/programs.ini"),
                            "[Program Worker]\r\nPath=" + CopyOfThisProgram("vxworker") +
                                "\r\nParameter=--helper polite 300\r\nAfter=Web\r\n"
                                "[Program Web]\r\nPath=" +
                                web + "\r\nStart=manual\r\n");
  ASSERT_TRUE(StartedAgain());
  Pause(milliseconds(1500));
  // A manual program waits to be asked, and the one after it waits for it.
  for (const auto& [name, report] : List({"Web", "Worker"})) {
    EXPECT_EQ(Item(report, "State"), "not running") << name;
  }
  Control("Action=start\nName=Web\n");
  const ProcessId web_pid = PidOf(Next("Name=Web"));
  ASSERT_NE(web_pid, 0u);
  const ProcessId worker_pid = PidOf(Next("Name=Worker"));
  ASSERT_NE(worker_pid, 0u) << "the worker did not start once the script ran";

  KillNode();
  ASSERT_TRUE(platform_.processes->Terminate(web_pid));
  ASSERT_TRUE(platform_.processes->Terminate(worker_pid));
  seen_ = hub_->received().size();
  StartNode();
  const ProcessId web_again = PidOf(Next("Name=Web", milliseconds(10000)));
  EXPECT_NE(web_again, 0u);
  EXPECT_NE(web_again, web_pid);
  EXPECT_NE(PidOf(Next("Name=Worker")), 0u) << "the worker did not start after the script";
  // Stopped by name, it stays stopped across a restart of the node.
  StopAll({"Name=Worker"});
  ASSERT_EQ(EndNode(), 0);
  ASSERT_TRUE(StartedAgain());
  Pause(milliseconds(1500));
  EXPECT_EQ(Item(List({"Worker"}).at("Worker"), "State"), "stopped");
  StopAll({"Name=Web"});
}

// A kept program is one program by any spelling of its path: asked of by another, it is the
// one record; stopped by another, it stays stopped; restarted by another, it is kept by one
// plan.
TEST_F(NodeCommandsTest, AKeptProgramIsOneProgramByAnySpellingOfItsPath) {
  const std::string name = "vxspelled";
  const std::string path = CopyOfThisProgram(name);
  const std::string file = path.substr(path.find_last_of("/\\") + 1);
  platform_.files->CreateFolder(Path("sub"));
  const std::string roundabout = Path("sub") + separator_ + ".." + separator_ + file;
#ifdef _WIN32
  const std::string other = UpperCase(path);
#else
  const std::string other = Path("vxspelled-link");
  std::filesystem::create_symlink(path, other);
#endif
  std::vector<std::string> spellings{roundabout, other};
#ifndef _WIN32
  spellings.push_back("/proc/self/root" + path);  // the root's own link
#endif
  const std::string keep = "Parameter=--helper polite 300\nRestart=always\n";
  for (const std::string& spelling : spellings) {
    SCOPED_TRACE("stopped as " + spelling);
    Control("Action=start\nPath=" + path + "\n" + keep);
    ASSERT_NE(PidOf(Next("Path=" + path + "\n")), 0u);
    // Asked of by another spelling, the one record answers.
    Control("Action=autonotify\nPath=" + spelling + "\n");
    EXPECT_EQ(Item(Next("Process.Notification"), "Path"), path);
    Control("Action=stop\nPath=" + spelling + "\n");
    EXPECT_EQ(PidOf(Next("PID=0", kPassWait)), 0u);
    Pause(milliseconds(3000));
    EXPECT_EQ(platform_.processes->FindByFileName(file), 0u) << "started again after its stop";
  }
  Control("Action=start\nPath=" + path + "\n" + keep);
  const ProcessId first = PidOf(Next("Path=" + path + "\n"));
  Control("Action=restart\nPath=" + roundabout + "\n" + keep);
  const std::string again = Next("Path=" + roundabout + "\n", kPassWait);
  EXPECT_NE(PidOf(again), 0u);
  EXPECT_NE(PidOf(again), first);
  Pause(milliseconds(2500));
  EXPECT_THAT(Split(ReadFile("Data/promises.txt"), '\n'), Contains(HasSubstr(name)).Times(1));
  StopAll({"Path=" + other});
}

// A node that dies within a start's first second has kept the run already: the next node
// adopts that very process, and keeps it.
TEST_F(NodeCommandsTest, ARunStartedJustBeforeTheNodeDiesIsAdoptedByTheNext) {
  const std::string path = CopyOfThisProgram("vxearly");
  const std::string file = path.substr(path.find_last_of("/\\") + 1);
  Control("Action=start\nPath=" + path + "\nParameter=--helper polite 300\nRestart=always\n");
  // Killed once the run is kept, which the node does as soon as the system has started it:
  // a kill between the two, a moment on a loaded machine, would find no run kept yet.
  ProcessId pid = 0;
  hub_->WaitFor(
      [&] {
        pid = platform_.processes->FindByFileName(file);
        return pid != 0 && FileExists("Data/promises.txt") &&
               ReadFile("Data/promises.txt").find(std::to_string(pid)) != std::string::npos;
      },
      milliseconds(3000));
  ASSERT_NE(pid, 0u);
  KillNode();
  seen_ = hub_->received().size();
  StartNode();
  EXPECT_EQ(PidOf(Next("Path=" + path + "\n", milliseconds(10000))), pid);
  ASSERT_TRUE(platform_.processes->Terminate(pid));
  EXPECT_EQ(PidOf(Next("Path=" + path + "\n")), 0u) << "its end";
  const ProcessId again = PidOf(Next("Path=" + path + "\n", milliseconds(3500)));
  EXPECT_NE(again, 0u);
  EXPECT_NE(again, pid);
  StopAll({"Path=" + path});
}

}  // namespace
}  // namespace varnix
