// varnixctl against the real node behind the real hub: every command, as a user types it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include "core/text.h"
#include "core/unix_time.h"
#include "platform/text_encoding.h"
#include "supervision/program_log.h"
#include "system/hub_fixture.h"
#include "xap/message_signature.h"

namespace varnix {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class CtlTest : public HubFixture {
 protected:
  // Beside the node, as installed, so that it reads the node's own network settings.
  void SetUp() override {
#ifndef _WIN32
    // No bus: a notice is refused, and said, rather than shown on this machine's screen.
    node_environment_.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/varnix-bus");
#endif
    HubFixture::SetUp();
    const std::string built = NativePath(VARNIX_CTL_BINARY, separator_);
    ctl_ = Path(built.substr(built.find_last_of("/\\") + 1));
    platform_.files->Copy(built, ctl_);
    MakeExecutable(ctl_);
  }

  Ran Ctl(const std::vector<std::string>& words) {
    return RunToEnd(ctl_, words, milliseconds(70000));
  }
  // A command that must succeed: its output is shown where it does not.
  Ran CtlOk(const std::vector<std::string>& words) {
    Ran ran = Ctl(words);
    EXPECT_EQ(ran.code, 0) << ran.output;
    return ran;
  }

  // Writes `text` to Config/`file` (none when empty) and starts the node anew.
  void RestartWith(const std::string& file, const std::string& text,
                   const std::vector<std::string>& environment = {}) {
    EndNodeAndHearItOut();
    if (!file.empty()) platform_.files->WriteAll(Path("Config") + separator_ + file, text);
    StartNode(environment);
    ASSERT_TRUE(peer_.Hears("Data=Using xAP port", milliseconds(30000)));
  }
  void Declare(const std::string& ini) { RestartWith("programs.ini", ini); }
  // The PID in the first row of `ran`'s table that `row` matches (its first group), or 0.
  static ProcessId RowPid(const Ran& ran, const std::string& row = "\n\\S+ +([0-9]+) .* running") {
    std::smatch found;
    if (!std::regex_search(ran.output, found, std::regex(row))) return 0;
    return static_cast<ProcessId>(std::stoul(found[1]));
  }
  // Each declared program's id in `varnixctl list`, by name; 0 for one that does not run.
  std::map<std::string, ProcessId> Pids() {
    std::map<std::string, ProcessId> pids;
    static const std::regex kName("\"Name\":\"([^\"]+)\"");
    static const std::regex kPid("\"PID\":\"(\\d+)\"");
    const std::string listed = Ctl({"--json", "list"}).output;
    for (const std::string& line : Split(listed, '\n')) {
      std::smatch name;
      std::smatch pid;
      if (!std::regex_search(line, name, kName)) continue;
      pids[name[1]] = std::regex_search(line, pid, kPid) ? std::stoul(pid[1]) : 0;
    }
    return pids;
  }
  // Waits until the programs of `names` run, each: their ids.
  std::map<std::string, ProcessId> WhenRunning(const std::vector<std::string>& names) {
    std::map<std::string, ProcessId> pids;
    Within(milliseconds(15000), [&] {
      pids = Pids();
      return std::all_of(names.begin(), names.end(), [&](const auto& name) { return pids[name]; });
    });
    return pids;
  }

  std::string ctl_;
};

TEST_F(CtlTest, StartsWatchesAndStopsAProgramAndAnswersEveryQuery) {
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  const Ran nodes = CtlOk({"nodes"});
  EXPECT_THAT(nodes.output, HasSubstr("\n" + Target() + "  "));
  const Ran ip = Ctl({"ip"});
  EXPECT_EQ(ip.code, 0);
  EXPECT_EQ(ip.output.rfind(platform_.machine->ComputerName() + "  ", 0), 0u) << ip.output;
  // A notice that cannot be shown here (no bus; Wine has no WTSSendMessage) says why.
  const Ran notice = Ctl({"notify", "Dinner", "is ready", "--actions", "Yes;No"});
  EXPECT_EQ(notice.code, 1);
  EXPECT_THAT(notice.output, HasSubstr("did not show it: "));
  const Ran echo = Ctl({"echo", "Are You", "THERE"});
  EXPECT_THAT(echo.output, HasSubstr(Target() + " answered \"are you there\" in "));

  // The program's arguments arrive as typed, and no shell sees them: spaces, quotes, empty
  // and option-like words, and what a shell would act on.
  const std::string arguments = folder_.path("arguments.txt");
  // It ends at once, having written them.
  CtlOk({"start", CopyOfThisProgram("vxargs"), "--", "--helper", "argv", arguments, "two words",
         "a\"b\\", "", "--title", ";", "rm", "~", "&", "*"});
  const std::string typed = "two words\na\"b\\\n\n--title\n;\nrm\n~\n&\n*\n";
  EXPECT_TRUE(Within(milliseconds(5000), [&] {
    return platform_.files->FileExists(arguments) && platform_.files->ReadAll(arguments) == typed;
  })) << (platform_.files->FileExists(arguments) ? platform_.files->ReadAll(arguments) : "");

  // Started at the priority asked, as the system itself reports it.
  const std::string program = CopyOfThisProgram("vxctl");
  const Ran start =
      Ctl({"start", program, "--priority", "below_normal", "--", "--helper", "polite"});
  ASSERT_EQ(start.code, 0) << start.output;
  const ProcessId pid = RowPid(
      start, "\n\\S+ +([0-9]+) +BELOW_NORMAL +[0-9]+% +[0-9.]+ MiB +0:00:0[0-9] +running\r?\n");
  ASSERT_NE(pid, 0u) << start.output;
  EXPECT_EQ(platform_.processes->GetPriority(pid), PriorityClass::kBelowNormal);
  const Ran json = Ctl({"--json", "query", program});
  EXPECT_THAT(json.output, HasSubstr("\"PID\":\"" + std::to_string(pid) + "\""));

  // A watch shows each report as it comes, until it is asked to end; then it says goodbye.
  const std::string watched = folder_.path("watch.txt");
  auto watch = StartChildProcess(ctl_, {"watch", program}, "", {}, watched);
  EXPECT_TRUE(FileHolds(watched, " " + std::to_string(pid) + " ", milliseconds(5000)));
  watch->RequestEnd();
  EXPECT_EQ(watch->WaitForExit(milliseconds(5000)), 0);
  // Written to a file, the rows stand under their column names.
  EXPECT_TRUE(std::regex_search(
      platform_.files->ReadAll(watched),
      std::regex("\nPATH +PID +PRIORITY .*\r?\n\\S+ +" + std::to_string(pid) + " ")))
      << platform_.files->ReadAll(watched);
  EXPECT_TRUE(Within(milliseconds(2000), [&] {
    return platform_.files->ReadAll(folder_.path("hub.log")).find("forgot qel.varnixctl.") !=
           std::string::npos;
  }));

  const Ran autonotify = Ctl({"autonotify", program});
  EXPECT_THAT(autonotify.output, HasSubstr(" " + std::to_string(pid) + " "));

  // A restart ends the program and starts it again, in a new process.
  const Ran restart = Ctl({"restart", program, "--", "--helper", "polite"});
  const ProcessId again = RowPid(restart);
  ASSERT_NE(again, 0u) << restart.output;
  EXPECT_NE(again, pid);
  EXPECT_FALSE(platform_.processes->IsAlive(pid));
  EXPECT_TRUE(platform_.processes->IsAlive(again));

  const Ran stop = CtlOk({"stop", program});
  EXPECT_TRUE(std::regex_search(stop.output, std::regex(" - +(exit [0-9]+|SIGTERM)\r?\n")))
      << stop.output;
  EXPECT_FALSE(platform_.processes->IsAlive(again));

  const Ran missing = Ctl({"start", Path("nothing-here")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_THAT(missing.output, HasSubstr("started nothing"));
  const Ran elsewhere = Ctl({"--node", "ELSEWHERE", "--timeout", "0.5", "ip"});
  EXPECT_EQ(elsewhere.code, 1);
  EXPECT_THAT(elsewhere.output,
              HasSubstr("no reply from qel.Process.ELSEWHERE within 0.5 s: is varnix "
                        "running there, with a hub beside it?"));
  EXPECT_EQ(Ctl({"reboot"}).code, 2) << "not without --yes";
  for (const std::string timeout : {"nan", "0.0001", "0", "3601"}) {
    EXPECT_EQ(Ctl({"--timeout", timeout, "ip"}).code, 2) << "--timeout " << timeout;
  }
  for (const std::string asked : {"-h", "-?", "--help", "help", "/?", ""}) {
    const Ran help = Ctl(asked.empty() ? std::vector<std::string>{} : std::vector{asked});
    EXPECT_EQ(help.code, 0) << asked;
    EXPECT_EQ(help.output.rfind("usage: varnixctl", 0), 0u) << asked << ": " << help.output;
  }
#ifndef _WIN32
  // Nowhere to send to: said, not a crash. This namespace has no route to that network.
  const Ran unroutable = Ctl({"--broadcast", "10.99.99.255", "ip"});
  EXPECT_EQ(unroutable.code, 1);
  EXPECT_THAT(unroutable.output, HasSubstr("cannot send to 10.99.99.255: "));
#endif
}

// A program that ends within its first second is told as started and ended, with how it
// ended, never as running: status 0 for exit code 0, 1 otherwise.
TEST_F(CtlTest, AProgramThatEndsAtOnceIsToldAsStartedWithHowItEnded) {
  const std::string quick = CopyOfThisProgram("vxquick");
  for (int round = 0; round < 4; ++round) {
    const std::string code = round % 2 == 0 ? "0" : "3";
    const Ran start = Ctl({"start", quick, "--", "--helper", "exit", code});
    EXPECT_TRUE(std::regex_search(
        start.output, std::regex("which has already ended \\(exit " + code + "\\)\r?\n")))
        << start.output;
    EXPECT_EQ(start.code, code == "0" ? 0 : 1) << start.output;
  }
  // Over the wire: the report after the start carries the exit code after the usual items,
  // also when a priority was asked of a program already gone.
  for (int round = 0; round < 3; ++round) {
    peer_.received.clear();
    peer_.Send(XapRequest(Target(), "Process.Control\n{\nAction=start\nPath=" + quick +
                                        "\nParameter=--helper exit 4\nPriority=LOW\n}\n"));
    ASSERT_TRUE(peer_.Hears("Path=" + quick + "\n")) << "no report after the start";
    for (const std::string& text : peer_.received) {
      if (text.find("Path=" + quick + "\n") == std::string::npos) continue;
      EXPECT_TRUE(text.find("\nPID=0\n") == std::string::npos ||
                  text.find("\nExitCode=4\n}") != std::string::npos)
          << text;
    }
  }
}

// The figures of the computer as its own system counts them (read here from /proc, which
// Wine reads too): memory within 1%, the boot time within a second, and processor use over
// the same interval, with half the processors kept busy, within 3 points.
TEST_F(CtlTest, StatusGivesTheComputersOwnFigures) {
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  const std::string proc = separator_ == '\\' ? "Z:\\proc\\" : "/proc/";
  const auto figure = [](const std::string& json, const std::string& name) {
    std::smatch found;
    return std::regex_search(json, found, std::regex("\"" + name + "\":\"([0-9]+)\""))
               ? std::stod(found[1])
               : -1.0;
  };
  const auto system_cpu = [&] {  // busy and whole clock ticks of every processor
    std::ifstream stat(proc + "stat");
    std::string cpu;
    double ticks[8] = {};
    stat >> cpu;
    for (double& tick : ticks) stat >> tick;
    double whole = 0;
    for (const double tick : ticks) whole += tick;
    return std::pair<double, double>{whole - ticks[3] - ticks[4], whole};
  };
  // Half the processors kept busy, from before the first answer to after the second: a steady
  // load, so that the node's interval and this test's, a few milliseconds apart, see the same.
  const unsigned processors = std::max(2u, std::thread::hardware_concurrency());
  std::vector<std::unique_ptr<ChildProcess>> load;
  const std::string spinner = CopyOfThisProgram("vxload");
  for (unsigned i = 0; i < processors / 2; ++i) {
    load.push_back(StartChildProcess(spinner, {"--helper", "spin"}));
  }
  // The node reads its figures somewhere inside each varnixctl's run, so the load over its
  // interval lies between those over the shortest and the longest interval the runs allow.
  Pause(milliseconds(500));
  const auto first_sent = system_cpu();
  const Ran first = Ctl({"--json", "status"});
  const auto first_told = system_cpu();
  Pause(milliseconds(3000));
  const auto second_sent = system_cpu();
  const Ran second = Ctl({"--json", "status"});
  const auto second_told = system_cpu();
  load.clear();
  ASSERT_EQ(first.code, 0) << first.output;
  ASSERT_EQ(second.code, 0) << second.output;
  std::vector<double> bounds;
  for (const auto& [busy_before, whole_before] : {first_sent, first_told}) {
    for (const auto& [busy_after, whole_after] : {second_sent, second_told}) {
      bounds.push_back(100 * (busy_after - busy_before) / (whole_after - whole_before));
    }
  }
  const auto [low, high] = std::ranges::minmax(bounds);
  EXPECT_GE(figure(second.output, "CPU"), low - 3) << high << " " << second.output;
  EXPECT_LE(figure(second.output, "CPU"), high + 3) << low << " " << second.output;
  EXPECT_GT(low, 40) << "the load did not run";

  std::ifstream meminfo(proc + "meminfo");
  const std::string memory{std::istreambuf_iterator<char>(meminfo), {}};
  std::smatch found;
  ASSERT_TRUE(std::regex_search(memory, found, std::regex("MemTotal: +([0-9]+) kB")));
  EXPECT_NEAR(figure(second.output, "MemoryTotal"), std::stod(found[1]) * 1024,
              std::stod(found[1]) * 1024 / 100);
#ifndef _WIN32
  // Wine counts what is available, and since when the computer runs, its own ways.
  ASSERT_TRUE(std::regex_search(memory, found, std::regex("MemAvailable: +([0-9]+) kB")));
  const double used = figure(second.output, "MemoryTotal") - std::stod(found[1]) * 1024;
  EXPECT_NEAR(figure(second.output, "MemoryUsed"), used,
              figure(second.output, "MemoryTotal") / 100);
  std::ifstream stat(proc + "stat");
  const std::string stat_text{std::istreambuf_iterator<char>(stat), {}};
  ASSERT_TRUE(std::regex_search(stat_text, found, std::regex("\nbtime ([0-9]+)")));
  EXPECT_NEAR(figure(second.output, "Booted"), std::stod(found[1]), 1);
  const std::filesystem::space_info disk = std::filesystem::space("/");
  EXPECT_NEAR(figure(second.output, "DiskFree"), static_cast<double>(disk.available),
              static_cast<double>(disk.capacity) / 100);
  // The node reports the veth end's address, and its card is that interface's.
  const Ran link = RunToEnd("/sbin/ip", {"-o", "link", "show", "varnix0"});
  ASSERT_TRUE(std::regex_search(link.output, found, std::regex("link/ether ([0-9a-f:]{17})")))
      << link.output;
  EXPECT_THAT(second.output, HasSubstr("\"MAC\":\"" + found[1].str() + "\""));
#endif
  const Ran shown = Ctl({"status"});
  EXPECT_TRUE(std::regex_search(
      shown.output, std::regex("NODE +CPU +MEMORY USED +UP +DISK FREE +MAC +CPU TEMP +AT IT\r?\n"
                               "\\S+ +[0-9]+% +"
                               "[0-9.]+ [MG]iB of [0-9.]+ GiB \\([0-9]+%\\)")))
      << shown.output;
}

// A bare name is looked up on the node's computer as its shell or Run box would, means that
// file in every action, and the reply names the file that ran; a start that starts nothing
// says so.
TEST_F(CtlTest, ABareNameStartsTheProgramThatThePathFinds) {
  const std::string program = CopyOfThisProgram("vxbare");
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  const char* const path = std::getenv("PATH");
  RestartWith("", "",
              {"PATH=" + folder_.path() + (separator_ == '\\' ? ";" : ":") + (path ? path : "")});
  const Ran start = CtlOk({"start", "vxbare", "--", "--helper", "exit", "0"});
  EXPECT_THAT(LowerCase(start.output), HasSubstr(LowerCase(program) + ", which has already ended"))
      << start.output;

  // The same bare name means that same file to a query and a stop.
  const Ran running = Ctl({"start", "vxbare", "--", "--helper", "polite"});
  ASSERT_EQ(running.code, 0) << running.output;
  const std::string pid = std::to_string(RowPid(running, "\n\\S+ +([0-9]+) "));
  ASSERT_NE(pid, "0") << running.output;
  const Ran query = Ctl({"query", "vxbare"});
  EXPECT_TRUE(std::regex_search(query.output, std::regex("\n\\S+ +" + pid + " .* running")))
      << query.output;
#ifndef _WIN32
  // The same file through a link is the file asked for: said so, with status 0.
  const std::string link = Path("vxlink");
  std::filesystem::create_symlink(program, link);
  const Ran linked = CtlOk({"start", link, "--", "--helper", "polite"});
  EXPECT_THAT(linked.output, HasSubstr(": already running as " + link + " (PID " + pid + ")"));
#endif
  // A copy of that file name in another folder is not started beside it: the answer says which
  // file runs, and that nothing started.
  platform_.files->CreateFolder(Path("other"));
  const std::string other = Path("other") + program.substr(program.find_last_of("/\\"));
  platform_.files->Copy(program, other);
  MakeExecutable(other);
  const Ran second = Ctl({"start", other, "--", "--helper", "polite"});
  EXPECT_EQ(second.code, 1) << second.output;
  EXPECT_THAT(LowerCase(second.output), HasSubstr(": already running as " + LowerCase(program) +
                                                  " (pid " + pid + "); nothing started"))
      << second.output;
  CtlOk({"stop", "vxbare"});
  EXPECT_FALSE(platform_.processes->IsAlive(static_cast<ProcessId>(std::stoul(pid))));
  // The other folder's copy running, the bare name, which finds the first, starts nothing and
  // says so with status 1: another file runs in its place.
  CtlOk({"start", other, "--", "--helper", "polite"});
  const Ran namesake = Ctl({"start", "vxbare"});
  EXPECT_EQ(namesake.code, 1) << namesake.output;
  CtlOk({"stop", other});

  EXPECT_EQ(Ctl({"start", "vxnowhere"}).code, 1);
  EXPECT_TRUE(
      FileHolds(Path("Data/Korvane.txt"), "Cannot start vxnowhere for ", milliseconds(5000)))
      << ReadFile("Data/Korvane.txt");
}

#ifdef _WIN32
// Notepad, named as a Windows user names it: start, query and stop reach its one process.
TEST_F(CtlTest, NotepadByItsBareNameIsOneProgramToEveryAction) {
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  const Ran start = Ctl({"start", "notepad"});
  ASSERT_EQ(start.code, 0) << start.output;
  std::smatch row;
  ASSERT_TRUE(std::regex_search(
      start.output, row, std::regex("\n\\S*notepad\\.exe +([0-9]+) .* running", std::regex::icase)))
      << start.output;
  const std::string pid = row[1];
  const Ran query = Ctl({"query", "notepad"});
  EXPECT_TRUE(std::regex_search(query.output, std::regex("\n\\S+ +" + pid + " .* running")))
      << query.output;
  CtlOk({"stop", "notepad.exe"});
  EXPECT_TRUE(Within(milliseconds(5000), [&] {
    return !platform_.processes->IsAlive(static_cast<ProcessId>(std::stoul(pid)));
  }));
}

// A program in a folder named in letters the wire's code page lacks is started, and stopped,
// by the short names the system keeps for it: never sent as "?", never refused.
TEST_F(CtlTest, AProgramInAFolderOfAnyScriptIsStartedAndStoppedByItsShortName) {
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  const std::string original = CopyOfThisProgram("vxscript");
  platform_.files->CreateFolder(Path("Überwachung Надзор"));
  const std::string program = Path("Überwachung Надзор") + "\\vxscript.exe";
  platform_.files->Copy(original, program);
  const Ran start = Ctl({"start", program, "--", "--helper", "polite"});
  ASSERT_EQ(start.code, 0) << CodePageName() << "\n" << start.output;
  const ProcessId pid = RowPid(start);
  ASSERT_NE(pid, 0u) << start.output;
  EXPECT_THAT(start.output, Not(HasSubstr("?")));
  CtlOk({"stop", program});
  EXPECT_TRUE(Within(milliseconds(5000), [&] { return !platform_.processes->IsAlive(pid); }));
  // Declared under a name in those letters: listed, queried, its log asked for, started and
  // stopped by that name, each answer in words. (varnixctl writes UTF-8 into the file that
  // this test reads in the code page.)
  EndNodeAndHearItOut();
  const std::string ini = Path("Config") + "\\programs.ini";
  platform_.files->Empty(ini);
  platform_.files->AppendUtf8(ini, "\xEF\xBB\xBF[Program Счётчик]\r\nPath=" + program +
                                       "\r\nParameter=--helper polite\r\nStart=manual\r\n");
  StartNode();
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port", milliseconds(30000)));
  const std::string shown = TextFromCodePage("Счётчик");
  EXPECT_THAT(CtlOk({"list"}).output, HasSubstr(shown + " "));
  EXPECT_THAT(CtlOk({"start", "Счётчик"}).output, HasSubstr(" running"));
  EXPECT_THAT(CtlOk({"query", "Счётчик"}).output, HasSubstr(" running"));
  EXPECT_THAT(CtlOk({"start", "Счётчик"}).output, HasSubstr(" running"));
  EXPECT_THAT(CtlOk({"logs", "Счётчик"}).output, HasSubstr("no output kept for " + shown));
  CtlOk({"stop", "Счётчик"});
  // A file that is not here has no short name to go by: refused, with what to do.
  const Ran elsewhere = Ctl({"start", "C:\\Надзор\\x.exe"});
  EXPECT_EQ(elsewhere.code, CodePageName() == "code page 65001" ? 1 : 2) << elsewhere.output;
  if (elsewhere.code == 2) {
    EXPECT_THAT(elsewhere.output, HasSubstr("dir /x"));
  }
}
#endif

// The programs declared on a computer: listed with how each stands, and started and stopped
// by name.
TEST_F(CtlTest, ListsStartsAndStopsDeclaredProgramsByName) {
  const std::string program = CopyOfThisProgram("vxlisted");
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  Declare("[Program Listed]\r\nPath=" + program +
          "\r\nParameter=--helper polite 120\r\nStart=manual\r\n");
  const auto row = [&](const std::string& state) {
    const Ran listed = Ctl({"list"});
    const bool found = std::regex_search(
        listed.output,
        std::regex("NAME +PATH +STATE +RESTARTS +SINCE\r?\nListed +\\S+ +" + state + " "));
    return found ? std::string() : listed.output;
  };
  EXPECT_EQ(row("not running"), "");
  CtlOk({"start", "listed"});
  EXPECT_EQ(row("running"), "");
  CtlOk({"stop", "Listed"});
  EXPECT_EQ(row("stopped"), "");
}

// Services as their supervisord user declares them, checked by what each process sees: its
// environment, its user, its clean end on its own signal, the exit codes that are a success,
// a group, two scripts of one interpreter, and a crasher up 11 s at a time.
#ifndef _WIN32
TEST_F(CtlTest, DeclaredServicesRunAsDeclared) {
  if (::geteuid() != 0) GTEST_SKIP() << "User= needs a node run as root";
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  const std::string out = Path("out");
  std::filesystem::create_directories(out);
  std::filesystem::permissions(out, std::filesystem::perms::all);  // nobody writes there too
  const std::string script = Path("svc.py");
  platform_.files->WriteAll(script,
                            "import os, signal, sys, time\n"
                            "name, out = sys.argv[1], sys.argv[2]\n"
                            "def finish(*_):\n"
                            "    time.sleep(float(os.environ.get('CLEAN_SECONDS', '0')))\n"
                            "    open(os.path.join(out, name + '.clean'), 'w').write('clean')\n"
                            "    sys.exit(0)\n"
                            "signal.signal(signal.SIGINT, finish)\n"
                            "signal.signal(signal.SIGUSR1, lambda *_: sys.exit(2))\n"
                            "if name == 'crasher':\n"
                            "    with open(os.path.join(out, 'crasher.runs'), 'a') as runs:\n"
                            "        runs.write('%f\\n' % time.time())\n"
                            "    time.sleep(11)\n"
                            "    sys.exit(1)\n"
                            "time.sleep(120)\n");
  const auto declare = [&](const std::string& name, const std::string& more) {
    return "[Program " + name + "]\nPath=/usr/bin/python3\nParameter=" + script + " " +
           LowerCase(name) + " " + out + "\n" + more;
  };
  Declare(declare("App1",
                  "User=nobody\nEnvironment=GREETING=\"hello; there\";CLEAN_SECONDS=7\n"
                  "StopSignal=INT\nStopSeconds=8\nGroup=web\n") +
          declare("App2", "Group=web\nExitCodes=0,2\nUsr=nobody\n") + declare("Crasher", ""));
  std::map<std::string, ProcessId> pids = WhenRunning({"App1", "App2", "Crasher"});
  ASSERT_NE(pids["App1"], pids["App2"]);
  const auto proc = [&](const std::string& name, const char* file) {
    return platform_.files->ReadAll("/proc/" + std::to_string(pids[name]) + "/" + file);
  };
  EXPECT_THAT(proc("App1", "environ"),
              HasSubstr(std::string("GREETING=hello; there\0USER=nobody", 0)));
  EXPECT_THAT(proc("App1", "status"), HasSubstr("\nUid:\t65534\t"));
  EXPECT_THAT(proc("App2", "environ"), Not(HasSubstr("GREETING=")));
  EXPECT_THAT(proc("App2", "status"), HasSubstr("\nUid:\t0\t"));
  EXPECT_THAT(ReadFile("Data/Korvane.txt"),
              HasSubstr("The setting USR in " + Path("Config") +
                        "/programs.ini, section [Program App2], is not "
                        "one the node knows: it is ignored"));

  // Exit 2 is a success: App2 is not started again.
  CtlOk({"signal", "App2", "USR1"});
  Pause(milliseconds(2500));
  EXPECT_EQ(Pids()["App2"], 0u);

  const auto asked = std::chrono::steady_clock::now();
  CtlOk({"stop", "web:*"});
  EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::seconds(7));
  EXPECT_EQ(ReadFile("out/app1.clean"), "clean") << "App1 was not given its 7 s to end cleanly";

  // Each run of the crasher was healthy: started again within 1.5 s, each time.
  ASSERT_TRUE(Within(milliseconds(40000),
                     [&] { return Split(ReadFile("out/crasher.runs"), '\n').size() > 3; }));
  const std::vector<std::string> runs = Split(ReadFile("out/crasher.runs"), '\n');
  for (size_t i = 1; i + 1 < runs.size(); ++i) {
    EXPECT_LT(std::stod(runs[i]) - std::stod(runs[i - 1]), 11 + 1.5) << "run " << i;
  }
  CtlOk({"stop", "all"});
  for (const auto& [name, pid] : Pids()) EXPECT_EQ(pid, 0u) << name;
}
#endif

// A reload applies what changed in programs.ini, and leaves the rest as it is; a group stops
// together, each as politely as it is declared.
TEST_F(CtlTest, AReloadAppliesWhatChangedAndAGroupStopsTogether) {
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  const std::string program = CopyOfThisProgram("vxservice");
  const auto declare = [&](const std::string& name, const std::string& parameter,
                           const std::string& more = "") {
    return "[Program " + name + "]\r\nPath=" + program + "\r\nParameter=--helper " + parameter +
           "\r\n" + more;
  };
  const std::string slow = declare("Slow", "service \"" + Path("slow") + "\" 3",
                                   "Environment=GREETING=hi there\r\nStopSeconds=6\r\n"
                                   "Group=web\r\n");
  const std::string mate = declare("Mate", "polite 120", "Group=web\r\n");
  const std::string keep = declare("Keep", "polite 125");
  Declare(slow + mate + keep + declare("Change", "polite 121") + declare("Gone", "polite 122"));
  const std::map<std::string, ProcessId> before =
      WhenRunning({"Slow", "Mate", "Keep", "Change", "Gone"});
  ASSERT_TRUE(Within(milliseconds(5000), [&] { return FileExists("slow.env"); }));
  EXPECT_EQ(ReadFile("slow.env"), "hi there");

  const auto asked = std::chrono::steady_clock::now();
  CtlOk({"stop", "web:*"});
  EXPECT_EQ(ReadFile("slow.clean"), "clean");
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(3 + 4))
      << "the two were not stopped together";

  platform_.files->WriteAll(
      Path("Config") + separator_ + "programs.ini",
      slow + mate + keep + declare("Change", "polite 123") + declare("New", "polite 124"));
  const Ran reloaded = CtlOk({"reload"});
  EXPECT_THAT(reloaded.output,
              HasSubstr(": added New; changed Change; removed Gone; left Slow, Mate, Keep"));
  std::map<std::string, ProcessId> after = WhenRunning({"Keep", "Change", "New"});
  EXPECT_EQ(after["Keep"], before.at("Keep"));
  EXPECT_NE(after["Change"], before.at("Change"));
  EXPECT_EQ(after["Slow"] + after["Mate"], 0u) << "stopped by hand, and left so";
  EXPECT_FALSE(platform_.processes->IsAlive(before.at("Gone")));

  platform_.files->WriteAll(Path("Config") + separator_ + "programs.ini",
                            keep + "[Program Broken]\r\nPath=" + program + "\r\nWindow=12\r\n");
  const Ran refused = Ctl({"reload"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_THAT(refused.output, HasSubstr("changed nothing: The setting Window=12"));
  EXPECT_NE(Pids()["New"], 0u);
#ifndef _WIN32
  // As systemctl reload asks.
  platform_.files->WriteAll(Path("Config") + separator_ + "programs.ini",
                            keep + declare("Hup", "polite 126"));
  ::kill(static_cast<pid_t>(node_->Pid()), SIGHUP);
  EXPECT_NE(WhenRunning({"Hup"})["Hup"], 0u);
#endif
  CtlOk({"stop", "all"});
}

TEST_F(CtlTest, LogsShowsAProgramsLastLinesAndFollowsNewOnes) {
  const std::string say = CopyOfThisProgram("vxsay");
  ASSERT_EQ(Ctl({"start", say, "--", "--helper", "say", "12"}).code, 0);
  const std::string stamp = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d ";
  Ran shown;
  EXPECT_TRUE(Within(milliseconds(10000), [&] {
    shown = Ctl({"logs", say, "-n", "5"});
    return shown.output.find("trouble 12") != std::string::npos;
  })) << shown.output;
  EXPECT_EQ(shown.code, 0);
  EXPECT_TRUE(std::regex_match(
      shown.output, std::regex("(" + stamp + "(out line|err trouble) 1[0-2].*\r?\n){5}")))
      << shown.output;
  const Ran none = Ctl({"logs", "vxnothing"});
  EXPECT_EQ(none.code, 1);
  EXPECT_THAT(none.output, HasSubstr("no log of vxnothing"));
  // A program that has said nothing: said so, not silence.
  const std::string quiet = CopyOfThisProgram("vxquiet");
  ASSERT_EQ(Ctl({"start", quiet, "--", "--helper", "polite"}).code, 0);
  const Ran empty = Ctl({"logs", quiet});
  EXPECT_EQ(empty.code, 0);
  EXPECT_THAT(empty.output, HasSubstr("no output kept for " + quiet + ": it wrote none"));
  Ctl({"stop", quiet});

  // Followed: each tick shows within about a second of its stamp, once, in order, told by the
  // node as it is kept: varnixctl asks once, not again and again.
  const std::string ticker = CopyOfThisProgram("vxticker");
  ASSERT_EQ(Ctl({"start", ticker, "--", "--helper", "ticks", "40", "250"}).code, 0);
  const size_t heard_before = peer_.received.size();
  const std::string followed = folder_.path("followed.txt");
  auto follow = StartChildProcess(ctl_, {"logs", ticker, "-n", "1", "-f"}, "", {}, followed);
  std::string text;
  size_t read = 0;
  int64_t slowest_ms = 0;
  std::vector<int> ticks;
  Within(milliseconds(20000), [&] {
    platform_.loop->DispatchPending(milliseconds(50));
    text = platform_.files->ReadBytes(followed);
    const int64_t now = std::chrono::duration_cast<milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    for (size_t end; (end = text.find('\n', read)) != std::string::npos; read = end + 1) {
      const std::string line = text.substr(read, end - read);
      const std::optional<int64_t> at = StampMilliseconds(line.substr(0, line.find(' ')));
      if (!at || line.find(" out tick ") == std::string::npos) continue;
      ticks.push_back(std::stoi(line.substr(line.rfind(' ') + 1)));
      // The first is the last line said before the follow began.
      if (ticks.size() > 1) slowest_ms = std::max(slowest_ms, now - *at);
    }
    return ticks.size() >= 12;
  });
  follow->Kill();
  const auto asked = std::count_if(
      peer_.received.begin() + heard_before, peer_.received.end(),
      [](const std::string& heard) { return heard.find("Action=log") != std::string::npos; });
  EXPECT_EQ(asked, 1) << "asked for the lines again and again";
  ASSERT_GE(ticks.size(), 12u) << text;
  for (size_t i = 1; i < ticks.size(); ++i) EXPECT_EQ(ticks[i], ticks[i - 1] + 1) << text;
  EXPECT_LE(slowest_ms, 1500) << "a line came late to the follow";
  Ctl({"stop", ticker});
}

// A node's log answers can be forged by anyone on the LAN, who sees the request's token: a
// line stamped in 2099 must not stop a follow from showing the real ones after it, a made-up
// line count makes no blank lines, and a follow keeps nothing else it hears. The test plays
// the node "vxforged" alone, so every answer varnixctl gets is the test's own.
TEST_F(CtlTest, ForgedLogAnswersNeitherBlindNorFloodAFollow) {
  const std::string node = "qel.Process.vxforged";
  const std::string followed = folder_.path("forged.txt");
  auto follow =
      StartChildProcess(ctl_, {"--node", "vxforged", "logs", "job", "-f"}, "", {}, followed);
  int asked = 0;
  size_t read = 0;
  std::string text;
  Within(milliseconds(20000), [&] {
    for (; read < peer_.received.size(); ++read) {
      const std::string& heard = peer_.received[read];
      if (heard.find("target=" + node) == std::string::npos) continue;
      if (heard.find("Echo.Query") != std::string::npos) {
        peer_.Send(XapRequest("", "Echo.Response\n{\nResponse=" + Item(heard, "Query") + "\n}\n",
                              "WDT.Echo", node));
      } else if (heard.find("Action=log") != std::string::npos) {
        ++asked;
        // As a node would: from the stamp asked for on, so a follow point in 2099 sees nothing.
        if (Item(heard, "After").starts_with("2099")) {
          peer_.Send(XapRequest("",
                                "Process.Log\n{\nName=job\nPath=job\nPart=1\nParts=1\nLines=0"
                                "\nRequest=" +
                                    Item(heard, "Request") + "\n}\n",
                                "Computer.Process", node));
          continue;
        }
        const std::string line = asked == 2 ? "2099-01-01T00:00:00.000+00:00 out forged"
                                            : LogStamp(std::chrono::system_clock::now()) +
                                                  " out real " + std::to_string(asked);
        peer_.Send(XapRequest("",
                              "Process.Log\n{\nName=job\nPath=job\nPart=1\nParts=1\nLines=" +
                                  std::string(asked == 2 ? "1000000000" : "1") + "\nRequest=" +
                                  Item(heard, "Request") + "\nLine1=" + line + "\n}\n",
                              "Computer.Process", node));
      }
    }
    text = platform_.files->ReadBytes(followed);
    return text.find("out real 5") != std::string::npos;
  });
  follow->Kill();
  EXPECT_THAT(text, HasSubstr("out real 5")) << "the follow went blind:\n" << text;
  EXPECT_THAT(text, Not(HasSubstr("\n\n"))) << "blank lines:\n" << text;
  EXPECT_THAT(text, HasSubstr("later than this computer's clock allows"));
}

// A node that signed to varnixctl before is believed only when it signs: an unsigned status in
// its name, without --require-signed, is dropped and said. The test plays the node "vxsigner".
TEST_F(CtlTest, AnUnsignedAnswerInTheNameOfANodeThatSignedBeforeIsDropped) {
  ASSERT_EQ(Ctl({"keygen"}).code, 0);
  const std::optional<std::string> key = KeyFromHex(ReadFile("Config/access.key"));
  ASSERT_TRUE(key);
  const std::string node = "qel.Process.vxsigner";
  const auto status = [&](bool sign) {
    const std::string output = folder_.path(sign ? "signed.txt" : "unsigned.txt");
    auto ctl = StartChildProcess(
        ctl_, {"--node", "vxsigner", "--timeout", "3", "status"}, "",
        {(separator_ == '\\' ? "LOCALAPPDATA=" : "XDG_STATE_HOME=") + folder_.path("state")},
        output);
    std::optional<int> code;
    size_t read = peer_.received.size();
    Within(milliseconds(15000), [&] {
      for (; read < peer_.received.size(); ++read) {
        const std::string& heard = peer_.received[read];
        if (heard.find("target=" + node) == std::string::npos) continue;
        std::string answer;
        if (heard.find("Echo.Query") != std::string::npos) {
          answer = XapRequest("", "Echo.Response\n{\nResponse=" + Item(heard, "Query") + "\n}\n",
                              "WDT.Echo", node);
        } else if (heard.find("Query=Status") != std::string::npos) {
          answer = XapRequest("", "Computer.Status\n{\nMAC=02:00:00:00:00:07\nFreeMemory=1\n}\n",
                              "Computer.Process", node);
        } else {
          continue;
        }
        peer_.Send(sign ? SignMessage(answer, *key, UnixSecondsNow()) : answer);
      }
      code = ctl->WaitForExit(milliseconds(0));
      return code.has_value();
    });
    return Ran{code.value_or(-1), platform_.files->ReadAll(output)};
  };
  const Ran first = status(true);
  EXPECT_EQ(first.code, 0) << first.output;
  const Ran forged = status(false);
  EXPECT_EQ(forged.code, 1) << forged.output;
  EXPECT_THAT(forged.output, HasSubstr("dropped an unsigned answer in the name of " + node));
}

// With RequireSignature=yes the node acts only on requests signed with the shared key, which
// varnixctl makes and uses; anything unsigned, altered or sent again is refused.
TEST_F(CtlTest, ANodeThatRequiresSignaturesActsOnlyOnSignedRequests) {
  // Up before the key is made: a node that read its settings after it would sign, and the
  // unsigned answer below would not come.
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  const Ran keygen = Ctl({"keygen"});
  ASSERT_EQ(keygen.code, 0) << keygen.output;
  EXPECT_THAT(keygen.output,
              HasSubstr(std::string("copy it to Config") + separator_ + "access.key"));
  {
    // Where no key can be written, the way to write one is said.
    const std::string elsewhere = folder_.path("elsewhere");
    platform_.files->CreateFolder(elsewhere);
    platform_.files->WriteAll(elsewhere + separator_ + "Config", "a file in the way");
    const std::string copy = elsewhere + ctl_.substr(ctl_.find_last_of("/\\"));
    platform_.files->Copy(ctl_, copy);
    MakeExecutable(copy);
    const Ran refused = RunToEnd(copy, {"keygen"}, milliseconds(70000));
    EXPECT_EQ(refused.code, 1);
    EXPECT_THAT(refused.output, HasSubstr("run varnixctl keygen as administrator"));
  }
  EXPECT_EQ(Ctl({"keygen"}).code, 1) << "a key there is replaced only with --yes";
  // The node, started before the key, signs nothing: --require-signed says it answered so.
  const Ran unsigned_answer = Ctl({"--require-signed", "--timeout", "2", "ip"});
  EXPECT_EQ(unsigned_answer.code, 1);
  EXPECT_THAT(unsigned_answer.output, HasSubstr("answered, but unsigned"));
  // Holding the key, varnixctl shows the unsigned status, but keeps no card from it for a
  // later wake: anyone could have sent it.
  ASSERT_EQ(Ctl({"status"}).code, 0);
  std::error_code none;  // no state folder: nothing was kept
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(folder_.path("state"), none)) {
    if (entry.path().filename() == "known-computers.txt") {
      EXPECT_EQ(platform_.files->ReadAll(entry.path().string()), "") << "a card was kept";
    }
  }
  RestartWith("settings.ini", "[Access]\r\nRequireSignature=yes\r\n");

  const std::string program = CopyOfThisProgram("vxsigned");
  const Ran start = CtlOk({"start", program, "--", "--helper", "polite"});
  EXPECT_THAT(start.output, HasSubstr(" running"));

  // With the key, a program's output travels sealed: varnixctl reads it, no datagram shows it.
  const std::string say = CopyOfThisProgram("vxsealed");
  ASSERT_EQ(Ctl({"start", say, "--", "--helper", "say", "3"}).code, 0);
  peer_.received.clear();
  Ran shown;
  EXPECT_TRUE(Within(milliseconds(10000), [&] {
    shown = Ctl({"logs", say, "-n", "6"});
    return shown.output.find("trouble 3") != std::string::npos;
  })) << shown.output;
  EXPECT_NE(FirstWith(peer_.received, "Sealed="), nullptr) << "the peer heard the answers";
  EXPECT_EQ(FirstWith(peer_.received, "trouble"), nullptr);
  EXPECT_EQ(FirstWith(peer_.received, "bold"), nullptr);

  // The same request unsigned, then signed and sent twice, then signed under another key.
  const std::optional<std::string> key = KeyFromHex(ReadFile("Config/access.key"));
  ASSERT_TRUE(key);
  const std::string other = CopyOfThisProgram("vxforged");
  const std::string request =
      XapRequest(Target(), "Process.Control\n{\nAction=start\nPath=" + other +
                               "\nParameter=--helper polite\n}\n");
  const int64_t now = UnixSecondsNow();
  const std::string signed_request = SignMessage(request, *key, now);
  peer_.Send(request);
  EXPECT_TRUE(peer_.Hears("Refused start of " + other + " from acme.tester.peer: not signed"));
  peer_.Send(SignMessage(request, std::string(32, 'x'), now));
  EXPECT_TRUE(peer_.Hears("Refused start of " + other + " from acme.tester.peer: bad signature"));
  peer_.Send(signed_request);
  EXPECT_TRUE(peer_.Hears("Path=" + other + "\n"));
  peer_.Send(signed_request);
  EXPECT_TRUE(peer_.Hears("Refused start of " + other + " from acme.tester.peer: replayed"));
  // What the node says is signed, and the signature holds: a controller with the key can tell
  // it from a forgery.
  const std::string* refusal = FirstWith(peer_.received, ": bad signature");
  ASSERT_NE(refusal, nullptr);
  EXPECT_EQ(SignatureCheck(*key, [&] { return now; }).Check(*refusal),
            SignatureCheck::Verdict::kGood);

  // Restarted, the node has forgotten the nonces it saw: what was signed before its start is
  // refused, however fresh.
  CtlOk({"stop", other});
  EndNodeAndHearItOut();
  Within(milliseconds(2000), [&] {
    return std::chrono::system_clock::now() >=
           std::chrono::system_clock::time_point(std::chrono::seconds(now + 1));
  });
  StartNode();
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port", milliseconds(30000)));
  peer_.Send(signed_request);
  EXPECT_TRUE(peer_.Hears("Refused start of " + other +
                          " from acme.tester.peer: signed before this node started"));
  CtlOk({"stop", program});
  // Discovery stays open; the node's answer is signed, and varnixctl with the key says so.
  CtlOk({"ip"});
  const Ran verified = Ctl({"--json", "--require-signed", "ip"});
  EXPECT_THAT(verified.output, HasSubstr("\"verified\":true"));
#ifndef _WIN32
  // A signed shutdown reaches the system (refused by the guarded sandbox), not the refusal.
  const Ran shutdown = Ctl({"shutdown", "--yes"});
  EXPECT_THAT(shutdown.output, Not(HasSubstr("not signed")));
  EXPECT_THAT(shutdown.output, HasSubstr("systemctl poweroff"));
  // A key that others can read is not used.
  std::filesystem::permissions(Path("Config/access.key"), std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  const Ran readable = Ctl({"stop", program});
  EXPECT_THAT(readable.output, HasSubstr("readable by others: mode 0604"));
#endif
}

// A node asked to end during a stop's wait ends cleanly, killing nobody on its way out, and has
// not stopped the program: varnixctl says so as soon as the node's goodbye comes, and --timeout
// bounds the wait when no goodbye can come.
TEST_F(CtlTest, AStopCutShortByTheNodesEndIsNoSuccess) {
  const std::string program = CopyOfThisProgram("vxcutshort");
  ASSERT_EQ(Ctl({"start", program, "--", "--helper", "stubborn"}).code, 0);
  const std::string output = folder_.path("stop.txt");
  peer_.received.clear();
  auto stop = StartChildProcess(ctl_, {"stop", program}, "", {}, output);
  // Ended while the stop waits for the program, which does not heed its polite request; by
  // then varnixctl's echo after the request waits at the node too.
  ASSERT_TRUE(peer_.Hears("Action=stop", milliseconds(10000)));
  Pause(milliseconds(1500));
  EndNodeAndHearItOut();
  EXPECT_EQ(ExitOf(*stop, milliseconds(20000)), 1);
  EXPECT_THAT(platform_.files->ReadAll(output),
              HasSubstr(Target() + " ended before it finished the stop"));

  StartNode();
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  const auto asked = std::chrono::steady_clock::now();
  peer_.received.clear();
  auto bounded = StartChildProcess(ctl_, {"--timeout", "2", "stop", program}, "", {}, output);
  ASSERT_TRUE(peer_.Hears("Action=stop", milliseconds(10000)));
  node_->Kill();  // no goodbye
  EXPECT_EQ(ExitOf(*bounded, milliseconds(30000)), 1) << platform_.files->ReadAll(output);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(20));
  node_.reset();
  // The stubborn program ran on through both; it is the test's to end.
  const ProcessId running =
      platform_.processes->FindByName(separator_ == '\\' ? "vxcutshort.exe" : "vxcutshort");
  ASSERT_NE(running, 0u);
  platform_.processes->Terminate(running);
}

#ifndef _WIN32
TEST_F(CtlTest, AWatchOnATerminalRedrawsItsTableInPlace) {
  const std::string program = CopyOfThisProgram("vxwatched");
  ASSERT_EQ(Ctl({"start", program, "--", "--helper", "polite"}).code, 0);
  const std::string socket = folder_.path("tmux");
  const auto tmux = [&](const std::vector<std::string>& words) {
    std::vector<std::string> all{"-S", socket};
    all.insert(all.end(), words.begin(), words.end());
    StartChildProcess("/usr/bin/tmux", all)->WaitForExit(milliseconds(5000));
  };
  tmux({"new-session", "-d", "-x", "120", "-y", "20", ctl_ + " watch " + program});
  const std::string screen = folder_.path("screen.txt");
  std::string shown;
  EXPECT_TRUE(Within(milliseconds(5000), [&] {
    StartChildProcess("/usr/bin/tmux", {"-S", socket, "capture-pane", "-p"}, "", {}, screen)
        ->WaitForExit(milliseconds(5000));
    shown = platform_.files->ReadAll(screen);
    return shown.find(" running") != std::string::npos;
  })) << shown;
  EXPECT_EQ(shown.rfind("Reports from " + Target() + " as they come; Ctrl-C ends.\n\nPATH ", 0), 0u)
      << shown;
  tmux({"kill-server"});
  Ctl({"stop", program});
}

// With no hub, varnixctl listens on the xAP port itself. A hub started meanwhile still comes
// up: the varnixctl that holds the port gives it up, and both a watch and a one-shot command
// that began before the hub hear the node through it.
TEST_F(CtlTest, AHubStartedWhileVarnixctlRunsComesUpAndServesIt) {
  EndNode();
  // With no node, the question asked is the one that fits: the hub relays, or there is none.
  const Ran relayed = Ctl({"--timeout", "3", "nodes"});
  EXPECT_EQ(relayed.code, 1);
  EXPECT_THAT(relayed.output, HasSubstr("the hub here relays"));
  StopHub();
  const Ran alone = Ctl({"--timeout", "2", "nodes"});
  EXPECT_THAT(alone.output, HasSubstr("no hub runs on this computer: start varnix-hub"));
  const std::string program = CopyOfThisProgram("vxlatehub");
  auto watch =
      StartChildProcess(ctl_, {"--timeout", "30", "watch"}, "", {}, folder_.path("watch.txt"));
  Pause(milliseconds(1000));
#ifndef _WIN32
  // A hub's heartbeat sent by another account is not obeyed: the port stays with the watch,
  // which says so, and no stranger can bind it to hear every node.
  StartChildProcess("/usr/bin/setpriv",
                    {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
                     "import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto("
                     "b'xap-hbeat\\n{\\nv=12\\nhop=1\\nuid=FF00EE00\\nclass=xap-hbeat.alive\\n"
                     "source=qel.varnix-hub.evil\\ninterval=60\\nport=3639\\n}\\n', "
                     "('127.0.0.1', 3639))"})
      ->WaitForExit(milliseconds(5000));
  EXPECT_TRUE(FileHolds(Path("watch.txt"), "in a hub's name; it is kept here", milliseconds(3000)))
      << ReadFile("watch.txt");
  auto probe = platform_.loop->CreateUdpSocket([](std::string) {});
  EXPECT_THROW(probe->Bind("127.0.0.1", 3639), Error) << "the watch gave the port up";
  probe.reset();
#endif
  auto once = StartChildProcess(ctl_, {"--timeout", "30", "echo", "late"}, "", {},
                                folder_.path("once.txt"));
  Pause(milliseconds(1000));
  const auto hub_started = Clock::now();
  StartHub();  // fails unless the hub comes up, and relays, within 5 s
  StartNode();
  EXPECT_EQ(ExitOf(*once, milliseconds(10000)), 0) << ReadFile("once.txt");
  EXPECT_LT(Clock::now() - hub_started, milliseconds(8000)) << "the one-shot heard the node late";
  ASSERT_EQ(Ctl({"start", program, "--", "--helper", "polite"}).code, 0);
  EXPECT_TRUE(FileHolds(Path("watch.txt"), program, milliseconds(5000)))
      << "the watch did not hear the node: " << ReadFile("watch.txt");
  EXPECT_THAT(ReadFile("watch.txt"), HasSubstr("gave port 3639 to the hub here"));
  watch->RequestEnd();
  ExitOf(*watch, milliseconds(5000));
  CtlOk({"stop", program});
}

TEST_F(CtlTest, ReachesEachOfTwoNodesBehindOneHub) {
  auto other = StartNodeNamed("vxsecond");
  ASSERT_TRUE(peer_.Hears("source=qel.Process.vxsecond"));

  const Ran nodes = Ctl({"nodes"});
  EXPECT_THAT(nodes.output, HasSubstr("\n" + Target() + "  "));
  EXPECT_THAT(nodes.output, HasSubstr("\nqel.Process.vxsecond  "));
  EXPECT_EQ(Ctl({"--node", "vxsecond", "ip"}).output.rfind("vxsecond  ", 0), 0u);
  const Ran all = Ctl({"--all", "echo", "Both"});
  EXPECT_EQ(all.code, 0);
  EXPECT_THAT(all.output, HasSubstr(Target() + " answered \"both\""));
  EXPECT_THAT(all.output, HasSubstr("qel.Process.vxsecond answered \"both\""));
  other->RequestEnd();
  EXPECT_EQ(other->WaitForExit(milliseconds(10000)), 0);
}

TEST_F(CtlTest, AskedToShutDownOrRebootTheNodeAsksTheSystem) {
  // Never the real one: the stand-in comes first on the node's PATH. The first node is up
  // before it is ended: one ended as it starts has not yet taken its end request.
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  EndNodeAndHearItOut();
  StartNodeWithStandIns({"systemctl"});
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  for (const std::string verb : {"shutdown", "reboot"}) {
    // The node answers once it has closed the windows for the shutdown before: on a busy
    // machine that takes longer than the usual three seconds.
    const Ran asked = CtlOk({verb, "--yes", "--timeout", "30"});
    EXPECT_EQ(asked.output, "asked " + Target() + " to " + verb + "\n");
  }
  EXPECT_TRUE(Called("systemctl poweroff\nsystemctl reboot\n"));
}
#endif

// Hubs that follow the xAP convention register a client only from a heartbeat sent from this
// computer's LAN address. varnixctl beats from there, as the node does, so it is heard.
class CtlBehindAConventionalHubTest : public NodeFixture {};

TEST_F(CtlBehindAConventionalHubTest, EchoStartAndNodesWorkThroughIt) {
  if (separator_ == '\\' || std::getenv("VARNIX_NETWORK_ISOLATED") == nullptr) {
    GTEST_SKIP() << "needs the test network namespace (tests/isolated.sh) and its veth LAN";
  }
  hub_->RegisterOnlyFrom("10.254.0.1");  // the LAN address that tests/isolated.sh gives
  WriteSettings();
  StartNode();
  ASSERT_NE(hub_->WaitForText("Data=Using xAP port"), "") << "the node did not come up";
  const std::string built = NativePath(VARNIX_CTL_BINARY, separator_);
  const std::string ctl = Path("varnixctl");
  platform_.files->Copy(built, ctl);
  MakeExecutable(ctl);
  const Ran echo = RunToEnd(ctl, {"echo", "through", "the", "hub"});
  EXPECT_EQ(echo.code, 0) << echo.output;
  const Ran nodes = RunToEnd(ctl, {"nodes"});
  EXPECT_EQ(nodes.code, 0) << nodes.output;
  EXPECT_THAT(nodes.output, HasSubstr(Target()));
  const Ran start =
      RunToEnd(ctl, {"start", CopyOfThisProgram("vxconventional"), "--", "--helper", "exit", "0"});
  EXPECT_EQ(start.code, 0) << start.output;
}

}  // namespace
}  // namespace varnix
