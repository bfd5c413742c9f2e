// Tests of Readmessage and the registry: acceptance, dispatch, the match rule, passes and reports.
#include "supervision/command_handler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "core/unix_time.h"
#include "core/wire_text.h"
#include "fakes/fake_event_loop.h"
#include "fakes/fake_file_system.h"
#include "fakes/fake_machine.h"
#include "fakes/fake_processes.h"
#include "fakes/recording_error_log.h"
#include "hostile_traffic.h"
#include "platform/private_file.h"
#include "platform/text_encoding.h"
#include "temp_folder.h"

namespace varnix {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

class RecordingComputer : public ComputerControl {
 public:
  void CloseWindowsAndShutdown() override { calls.push_back("shutdown"); }
  void CloseWindowsAndReboot() override { calls.push_back("reboot"); }
  void SessionAction(SessionRequest request) override {
    calls.push_back("session " + std::to_string(static_cast<int>(request)));
  }
  void TurnScreensOff() override { calls.push_back("screens off"); }
  StatusItems Status(const std::string& address) override {
    calls.push_back("status " + address);
    return {{"CPU", "7"}, {"MAC", "aa:bb:cc:dd:ee:ff"}};
  }
  std::vector<std::string> calls;
};

class CommandHandlerTest : public ::testing::Test {
 protected:
  CommandHandlerTest() {
    values_.ComputerName = "PC1";
    values_.ExePath = "/opt/varnix/varnix";
    xap_.XapSource("qel.Process.PC1");
    xap_.XapUID("FF000800");
    xap_.BroadcastAddress("127.0.0.1");
    xap_.Init();
    queue_.AttachTransport(&xap_);
    queue_.SetReady();
    files_.files["/opt/app/notes"] = "";
    loop_.sent.clear();
  }

  // A request from another computer's controller.
  void Request(const std::string& cls, const std::string& body, const std::string& target = "",
               const std::string& source = "acme.controller.pc2") {
    handler_.Readmessage(XapRequest(target, body, cls, source));
  }
  void Control(const std::string& items, const std::string& target = "") {
    Request("Computer.Process", "Process.Control\n{\n" + items + "}\n", target);
  }

  // Every message sent since the last call, parsed: "section|item=value|...".
  std::vector<std::string> Sent() {
    std::vector<std::string> out;
    for (const auto& sent : loop_.sent) {
      XapMessage message(log_);
      message.FromXap(sent.text);
      std::string line = message.msgSection().empty() ? "?" : message.msgSection()[0];
      if (message.msgTarget() != "Unknown")
        line = "to " + std::string(message.msgTarget()) + " " + line;
      const auto items = message.msgCollection(0);
      for (const std::string& item : items.value_or(std::vector<std::string>{})) line += "|" + item;
      out.push_back(line);
    }
    loop_.sent.clear();
    return out;
  }

  FakeEventLoop loop_;
  FakeMachine machine_;
  FakeSocketsLayer sockets_;
  RecordingErrorLog log_;
  RecordingEventReport events_;
  FakeProcessTable table_;
  FakeDesktop desktop_{loop_, table_};
  FakeFileSystem files_;
  AppValues values_;
  XapTransport xap_{loop_, machine_, sockets_, log_};
  OutgoingQueue queue_{log_};
  ProcessOperations operations_{table_,  desktop_,          files_, events_, loop_,
                                "Linux", PathRules::Posix()};
  RecordingComputer computer_;
  CommandHandler handler_{values_, xap_, queue_, log_, events_, operations_, computer_};
};

TEST_F(CommandHandlerTest, AcceptsMessagesForThisComputerOrForAnyone) {
  const std::string query = "Computer.Control\n{\nQuery=IP\n}\n";
  for (const std::string target :
       {"", "*", ">", ">.x.y", "UNKNOWN", "qel.Process.PC1", "acme.any.pc1", "QEL.PROCESS.pc1"}) {
    Request("Computer.Process", query, target);
    EXPECT_EQ(Sent(), std::vector<std::string>{"computer.notification|IP=10.0.0.5|Name=PC1"})
        << "target " << target;
  }
  // The computer's figures, for the address it reports.
  Request("Computer.Process", "Computer.Control\n{\nQuery=Status\n}\n");
  EXPECT_EQ(Sent(), std::vector<std::string>{"computer.status|CPU=7|MAC=aa:bb:cc:dd:ee:ff"});
  EXPECT_EQ(computer_.calls, std::vector<std::string>{"status 10.0.0.5"});
  for (const std::string target : {"qel.Process.*", "qel.Process.PC2", "*.*.*", "PC1"}) {
    Request("Computer.Process", query, target);
    EXPECT_TRUE(Sent().empty()) << "target " << target;
  }
  Request("Computer.Process", "");  // no body at all
  handler_.Readmessage("not xap at all\n}\n");
  EXPECT_TRUE(Sent().empty());
  EXPECT_TRUE(events_.events.empty());
}

// A bare name is the file the system's own look-up finds: started and reported as that file.
// A start that starts nothing is logged with why.
TEST_F(CommandHandlerTest, ABareNameIsStartedAsTheFileFoundAndAFailedStartIsLogged) {
  files_.files["/usr/bin/notes"] = "";
  table_.on_path["notes"] = "/usr/bin/notes";
  Control("Action=start\nPath=notes\n");
  ASSERT_EQ(table_.started.size(), 1u);
  EXPECT_EQ(table_.started[0].rfind("/usr/bin/notes|", 0), 0u) << table_.started[0];
  const std::vector<std::string> sent = Sent();
  ASSERT_FALSE(sent.empty());
  EXPECT_THAT(sent.back(), HasSubstr("|Path=/usr/bin/notes|"));
  // The bare name means that file in every action: a query finds it, a stop ends it.
  Control("Action=query\nPath=notes\n");
  EXPECT_THAT(Sent().back(), HasSubstr("|Path=/usr/bin/notes|PID=100|"));
  Control("Action=stop\nPath=notes\n");
  EXPECT_FALSE(table_.IsAlive(100));
  Sent();

  // A start that finds the file name running in another folder starts nothing, leaves that
  // program's priority be, and says which file runs; once, in the answer to that start.
  Control("Action=start\nPath=notes\n");
  Control("Action=start\nPath=/opt/app/notes\nPriority=LOW\n");
  EXPECT_EQ(table_.started.size(), 2u);
  EXPECT_EQ(table_.GetPriority(101), PriorityClass::kNormal);
  std::vector<std::string> answer = Sent();
  ASSERT_FALSE(answer.empty());
  EXPECT_THAT(answer.back(), HasSubstr("|Elapsed=0|AlreadyRunning=/usr/bin/notes"));
  handler_.SupervisionPass();
  for (const std::string& report : Sent()) {
    EXPECT_THAT(report, Not(HasSubstr("AlreadyRunning")));
  }

  log_.lines.clear();
  Control("Action=start\nPath=/opt/app/missing\n");
  ASSERT_EQ(log_.lines.size(), 1u);
  EXPECT_THAT(log_.lines[0],
              HasSubstr("Cannot start /opt/app/missing for acme.controller.pc2: no such "
                        "file"));
}

TEST_F(CommandHandlerTest, AReusedIdNeitherKeepsARecordAliveNorHidesHowItEnded) {
  Control("Action=start\nPath=/opt/app/notes\n");
  handler_.SupervisionPass();
  Sent();
  // The program exits with 3 and the system gives its id to another program of that name.
  table_.processes[100].alive = false;
  table_.processes[100].exit = ExitStatus{3, ""};
  table_.Reuse(100, "notes");
  table_.ended_asks = 0;
  handler_.SupervisionPass();
  EXPECT_EQ(table_.ended_asks, 1) << "one question per pass, whatever the number of records";
  EXPECT_EQ(Sent(), std::vector<std::string>{
                        "process.notification|Path=/opt/app/notes|PID=0|Priority=NORMAL|CPU=|"
                        "RAM=|Elapsed=|ExitCode=3|Ended=100"});

  // Killed by a signal, and a program the system says nothing about: only what is known.
  Control("Action=start\nPath=/opt/app/notes\n");  // the stranger is found by its name
  Control("Action=start\nPath=/opt/app/viewer\n");
  files_.files["/opt/app/viewer"] = "";
  Control("Action=start\nPath=/opt/app/viewer\n");
  handler_.SupervisionPass();
  Sent();
  table_.processes[100].alive = false;
  table_.processes[100].exit = ExitStatus{std::nullopt, "SIGKILL"};
  table_.processes.rbegin()->second.alive = false;
  handler_.SupervisionPass();
  const std::vector<std::string> ends = Sent();
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_THAT(ends[0], HasSubstr("|Elapsed=|Signal=SIGKILL"));
  EXPECT_THAT(ends[1], HasSubstr("|Elapsed=|Ended="));
}

// A stop of a program whose run has ended tells that nothing runs, not that old end anew.
TEST_F(CommandHandlerTest, AStopOfAProgramThatHasEndedSaysNothingRuns) {
  Control("Action=start\nPath=/opt/app/notes\n");
  handler_.SupervisionPass();
  table_.processes[100].alive = false;
  table_.processes[100].exit = ExitStatus{0, ""};
  handler_.SupervisionPass();
  Sent();
  Control("Action=stop\nPath=/opt/app/notes\n");
  EXPECT_EQ(Sent(), std::vector<std::string>{"process.notification|Path=/opt/app/notes|PID=0|"
                                             "Priority=Unknown|CPU=|RAM=|Elapsed="});
}

// A full registry makes room by dropping the oldest record that serves nothing: not
// auto-reported, its program not running. When none may go, the request is still answered.
TEST_F(CommandHandlerTest, AFullRegistryDropsTheOldestIdleRecordOrAddsNone) {
  CommandHandler small{values_, xap_, queue_, log_, events_, operations_, computer_, {}, 3};
  const auto control = [&](const std::string& action, const std::string& path) {
    small.Readmessage(
        XapRequest("", "Process.Control\n{\nAction=" + action + "\nPath=" + path + "\n}\n",
                   "Computer.Process", "evil.x.y"));
  };
  const auto paths = [&] {
    std::vector<std::string> listed;
    for (const auto& record : small.registry().ProcessList()) listed.push_back(record->Path());
    return listed;
  };
  control("query", "/made/up/1");
  control("autonotify", "/made/up/2");
  control("start", "/opt/app/notes");  // running
  control("query", "/made/up/3");
  EXPECT_EQ(paths(), (std::vector<std::string>{"/made/up/2", "/opt/app/notes", "/made/up/3"}));
  control("query", "/made/up/4");
  EXPECT_EQ(paths(), (std::vector<std::string>{"/made/up/2", "/opt/app/notes", "/made/up/4"}));
  control("autonotify", "/made/up/4");
  Sent();
  control("query", "/made/up/5");
  EXPECT_EQ(paths(), (std::vector<std::string>{"/made/up/2", "/opt/app/notes", "/made/up/4"}));
  EXPECT_EQ(Sent(), std::vector<std::string>{"process.notification|Path=/made/up/5|PID=0|"
                                             "Priority=Unknown|CPU=|RAM=|Elapsed="});
  // Said once, then at most once a minute.
  const std::vector<std::string> said{
      "Registry full (3 records): query of /made/up/3 from evil.x.y"};
  EXPECT_EQ(events_.events, said);
  loop_.Advance(ProcessRegistry::kFullSaidEveryMs);
  control("query", "/made/up/6");
  EXPECT_EQ(events_.events.size(), 2u);
}

TEST_F(CommandHandlerTest, ARestartPolicyStartsTheProgramAgainWithABackOffUntilAStop) {
  Control("Action=start\nPath=/opt/app/notes\nRestart=sometimes\n");
  EXPECT_TRUE(table_.started.empty());
  EXPECT_EQ(events_.events,
            std::vector<std::string>{"ProcessControl 10 Invalid procedure call or argument: "
                                     "Restart=sometimes"});

  // The delays themselves are timed on the real node; here, that a healthy run resets them.
  Control("Action=start\nPath=/opt/app/notes\nRestart=On-Failure\n");
  ASSERT_EQ(table_.started.size(), 1u);
  const auto end_with = [&](ExitStatus status) {
    table_.processes.rbegin()->second.alive = false;
    table_.processes.rbegin()->second.exit = status;
  };
  // Each delay may be a fifth longer than its number.
  const auto after = [](int ms) {
    return static_cast<int64_t>(ms * (1 + RestartPlans::kSpread)) + RestartPlans::kCheckMs * 2;
  };
  end_with(ExitStatus{3, ""});
  loop_.Advance(after(1000));
  end_with(ExitStatus{3, ""});
  loop_.Advance(after(2000));
  ASSERT_EQ(table_.started.size(), 3u);
  // A run past the quick-run limit was healthy: the next delay is the first again.
  loop_.Advance(11000);
  end_with(ExitStatus{std::nullopt, "SIGSEGV"});
  const size_t starts = table_.started.size();
  loop_.Advance(after(1000));
  EXPECT_EQ(table_.started.size(), starts + 1);

  // A plan's restart knows its run ended: it starts a new one, never a stranger's process of
  // the same file that a query pointed the record at meanwhile.
  end_with(ExitStatus{3, ""});
  const ProcessId stranger = table_.Add("notes");
  table_.processes[stranger].path = "/opt/app/notes";
  Control("Action=query\nPath=/opt/app/notes\n");
  loop_.Advance(after(2000));
  EXPECT_EQ(table_.started.size(), starts + 2);
  table_.processes[stranger].alive = false;

  // Ending well ends an on-failure plan (a stop ends any: the real node's test).
  end_with(ExitStatus{0, ""});
  loop_.Advance(10000);
  EXPECT_EQ(table_.started.size(), starts + 2);
  EXPECT_EQ(handler_.restarts().size(), 0u);
}

TEST_F(CommandHandlerTest, RestartKeepsTheOldRecordBesideTheNewOnlyWhileAnEndIsOwed) {
  // Not yet seen running by a pass: no end report is owed, the new run takes the record.
  Control("Action=start\nPath=/opt/app/notes\n");
  Control("Action=restart\nPath=/opt/app/notes\n");
  ASSERT_EQ(table_.started.size(), 2u);
  const auto& list = handler_.registry().ProcessList();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->PID(), 101);

  // Seen running: the old record stays beside the new one, and the pass reports its end.
  handler_.SupervisionPass();
  Control("Action=restart\nPath=/opt/app/notes\n");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1]->PID(), 102);
  Sent();
  handler_.SupervisionPass();
  EXPECT_EQ(list[0]->PID(), 0);
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(CommandHandlerTest, AnswersRoleQueriesAtOnceAndLearnsLocalApplications) {
  queue_.SendXap("", "held", "held", "");  // the queue is not involved in role replies
  Request("Homeseer.Role", "Role.Query\n{\nRole=ANY\n}\n", ">");
  EXPECT_EQ(Sent().back(), "role.notification|Role=Application|Path=/opt/varnix/varnix");
  Request("Homeseer.Role", "Role.Query\n{\nRole=application\n}\n", "qel.Process.PC2");
  EXPECT_TRUE(Sent().empty());

  table_.Add("Tool");
  Request("Homeseer.Role", "Role.Notification\n{\nPath=/Opt/Tool\n}\n", "", "acme.tool.pc1");
  Request("Homeseer.Role", "Role.Notification\n{\nPath=/opt/other\n}\n", "", "acme.tool.pc2");
  ASSERT_EQ(handler_.registry().ProcessList().size(), 1u);
  Status& learnt = *handler_.registry().ProcessList()[0];
  EXPECT_EQ(learnt.Path(), "/Opt/Tool");
  EXPECT_EQ(learnt.Title(), "");
  EXPECT_TRUE(learnt.AutoNotify());
  EXPECT_TRUE(Sent().empty()) << "learning reports nothing by itself";

  // Spellings of one file are one record, kept as first written; names keep their case here,
  // so another case is another file.
  for (const char* path : {"/Opt/./Tool", "/Opt//Tool", "/x/../Opt/Tool", "/OPT/TOOL"}) {
    Request("Homeseer.Role", "Role.Notification\n{\nPath=" + std::string(path) + "\n}\n", "",
            "acme.tool.PC1");
  }
  ASSERT_EQ(handler_.registry().ProcessList().size(), 2u);
  EXPECT_EQ(learnt.Path(), "/Opt/Tool");
  EXPECT_EQ(handler_.registry().ProcessList()[1]->Path(), "/OPT/TOOL");
  Control("Action=query\nPath=/Opt/./Tool\n");
  EXPECT_EQ(Sent(), std::vector<std::string>{
                        "process.notification|Path=/Opt/Tool|Title=|PID=0|Priority=Unknown|CPU=|"
                        "RAM=|Elapsed="});
  EXPECT_EQ(handler_.registry().ProcessList().size(), 2u);
}

// A declared program: started with the node, known by its name in requests, reports and the
// list, given up after five quick failures, and held stopped across a new start of the node.
TEST_F(CommandHandlerTest, DeclaredProgramsAreStartedNamedListedAndGivenUp) {
  DeclaredProgram notes;
  notes.name = "Notes";
  notes.path = "/opt/app/notes";
  const auto handler = [&] {
    return std::make_unique<CommandHandler>(
        values_, xap_, queue_, log_, events_, operations_, computer_, AccessRules{}, 100,
        [&](std::vector<std::string>*) { return std::vector<DeclaredProgram>{notes}; },
        "/data/promises.txt");
  };
  // Somebody else's run of the same file is not the declared program's.
  const ProcessId stranger = table_.Add("notes");
  table_.processes[stranger].path = "/opt/app/notes";
  auto node = handler();
  node->Begin();
  loop_.Advance(1);
  ASSERT_EQ(table_.started.size(), 1u);
  table_.processes[stranger].alive = false;
  EXPECT_THAT(Sent().back(), HasSubstr("|Elapsed=0|Name=Notes"));
  node->Readmessage(XapRequest("qel.Process.PC1", "Process.Control\n{\nAction=list\n}\n"));
  std::vector<std::string> listed = Sent();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_THAT(listed[0],
              HasSubstr("|Name=Notes|State=running|Restart=on-failure|Start=boot|Restarts=0|"));
  // Declared anew while no node ran: the run goes on, and is told as started the old way.
  notes.parameter = "--new";
  node = handler();
  node->Begin();
  loop_.Advance(1);
  EXPECT_EQ(table_.started.size(), 1u);
  Sent();
  node->Readmessage(XapRequest("qel.Process.PC1", "Process.Control\n{\nAction=list\n}\n"));
  EXPECT_THAT(Sent().back(), HasSubstr("|State=running|Stale=yes|"));

  // Each run ends with exit 3 at once: after the fifth, no sixth.
  for (int run = 0; run < 5; ++run) {
    table_.processes.rbegin()->second.alive = false;
    table_.processes.rbegin()->second.exit = ExitStatus{3, ""};
    const size_t starts = table_.started.size();
    for (int waited = 0; waited < 20000 && table_.started.size() == starts; waited += 50) {
      loop_.Advance(50);
    }
  }
  EXPECT_EQ(table_.started.size(), 5u);
  ASSERT_FALSE(events_.events.empty());
  EXPECT_EQ(events_.events.back().rfind("Notes: gave up after 5 starts in ", 0), 0u)
      << events_.events.back();
  EXPECT_THAT(events_.events.back(), HasSubstr(" s (exit 3)"));
  Sent();
  node->Readmessage(XapRequest("", "Process.Control\n{\nAction=query\nName=notes\n}\n"));
  EXPECT_THAT(Sent().back(), HasSubstr("|Name=Notes|GaveUp=yes|LastEnd=exit 3"));

  // A start begins anew; a stop by name holds it stopped, in the node's next run too.
  node->Readmessage(XapRequest("", "Process.Control\n{\nAction=start\nName=Notes\n}\n"));
  EXPECT_EQ(table_.started.size(), 6u);
  node->Readmessage(XapRequest("", "Process.Control\n{\nAction=stop\nName=Notes\n}\n"));
  EXPECT_THAT(files_.files["/data/promises.txt"], HasSubstr("\nstopped notes\n"));
  node.reset();
  node = handler();
  node->Begin();
  loop_.Advance(1000);
  EXPECT_EQ(table_.started.size(), 6u);
}

// A reload applies what changed in programs.ini and leaves the rest; a bad file changes nothing.
// A group stops its programs together, each with its own signal.
TEST_F(CommandHandlerTest, AReloadAppliesWhatChangedAndAGroupActsTogether) {
  for (const char* file :
       {"/opt/a/keep", "/opt/a/gone", "/opt/a/change", "/opt/a/held", "/opt/a/new"}) {
    files_.files[file] = "";
  }
  const auto declare = [&](const std::string& change, const std::string& held,
                           const std::string& last) {
    files_.files["/cfg/programs.ini"] =
        "[Program Keep]\nPath=/opt/a/keep\nGroup=web\nStopSignal=INT\n"
        "[Program Change]\nPath=/opt/a/change\nParameter=" +
        change +
        "\nGroup=web\n"
        "[Program Held]\nPath=/opt/a/held\nParameter=" +
        held + "\n" + last;
  };
  declare("1", "1", "[Program Gone]\nPath=/opt/a/gone\n");
  CommandHandler node(values_, xap_, queue_, log_, events_, operations_, computer_, AccessRules{},
                      100, [&](std::vector<std::string>* problems) {
                        return ReadDeclaredPrograms(files_, events_, log_, "/cfg/programs.ini",
                                                    PathRules::Posix(), problems);
                      });
  const auto control = [&](const std::string& items) {
    node.Readmessage(XapRequest("qel.Process.PC1", "Process.Control\n{\n" + items + "}\n"));
    loop_.Advance(500);  // the reload's turn, and the stops' polls
  };
  node.Begin();
  loop_.Advance(1);
  ASSERT_EQ(table_.started.size(), 4u);
  const ProcessId keep = table_.FindByPath("/opt/a/keep", "keep");
  control("Action=stop\nName=Held\n");
  Sent();

  declare("2", "2", "[Program New]\nPath=/opt/a/new\n");
  control("Action=reload\nRequest=r1\n");
  EXPECT_EQ(
      Sent().back(),
      "to acme.tester.peer process.reload|Programs=4|Added=New|Changed=Change, Held|Removed=Gone|"
      "Left=Keep|Request=r1");
  EXPECT_EQ(table_.FindByPath("/opt/a/keep", "keep"), keep) << "an unchanged program runs on";
  EXPECT_EQ(table_.FindByPath("/opt/a/gone", "gone"), 0u);
  EXPECT_EQ(table_.started,
            (std::vector<std::string>{"/opt/a/keep||1", "/opt/a/change|1|1", "/opt/a/held|1|1",
                                      "/opt/a/gone||1", "/opt/a/change|2|1", "/opt/a/new||1"}))
      << "Held, stopped by hand, stays stopped";

  // A bad value anywhere: nothing changes, and the answer says why.
  declare("3", "2", "[Program New]\nPath=/opt/a/new\nRestart=sometimes\n");
  control("Action=reload\n");
  const std::string refused = Sent().back();
  EXPECT_THAT(refused,
              HasSubstr("|Problem=The setting Restart=sometimes in /cfg/programs.ini, section "
                        "[Program New], is none of no, on-failure, always"));
  EXPECT_EQ(table_.started.size(), 6u);

  // The group: each of its programs asked with its own signal, together.
  table_.close_signals.clear();
  control("Action=stop\nGroup=WEB\n");
  EXPECT_EQ(table_.close_signals,
            (std::vector<EndSignal>{EndSignal::kInterrupt, EndSignal::kTerminate}));
  EXPECT_EQ(table_.FindByPath("/opt/a/keep", "keep"), 0u);
  EXPECT_NE(table_.FindByPath("/opt/a/new", "new"), 0u) << "not of the group";
  control("Action=start\nGroup=*\n");
  EXPECT_EQ(table_.started.size(), 9u) << "Keep, Change and Held; New runs already";
}

// A stop heard while a kept program is started again (within that start's first second) ends
// the plan under the start: the start finishes, and nothing is started after it.
TEST_F(CommandHandlerTest, AStopDuringARestartsFirstSecondEndsThePlanCleanly) {
  Control("Action=start\nPath=/opt/app/notes\nRestart=always\n");
  ASSERT_EQ(table_.started.size(), 1u);
  bool stopped = false;
  auto stopper = loop_.CreateTimer([&] {
    if (stopped || table_.started.size() < 2) return;
    stopped = true;
    Control("Action=stop\nPath=/opt/app/notes\n");
  });
  stopper->SetInterval(10);
  stopper->SetEnabled(true);
  table_.processes.rbegin()->second.alive = false;
  loop_.Advance(5000);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(table_.started.size(), 2u) << "started once more, then never again";
}

// What a controller asked to keep running is kept across a restart of the node, not across a
// reboot: only programs.ini speaks for a computer that has started again.
TEST_F(CommandHandlerTest, APromiseOutlivesTheNodeButNotTheComputer) {
  Promise promise;
  promise.request = {"/opt/app/notes", "Unknown", "", "2", "Unknown", "acme.x.y", "", "", ""};
  promise.policy = RestartPolicy::kAlways;
  // The system's name for the boot decides where there is one: a clock set since the start
  // (1000 against 5000) is no reboot, and a boot of the same minute is.
  struct Case {
    int64_t booted;
    const char* boot_id;
    bool same_boot;
  };
  for (const Case& now : {Case{5000, "", false}, Case{1030, "", true}, Case{5000, "b1", true},
                          Case{1000, "b2", false}}) {
    files_.files["/data/promises.txt"] =
        "varnix-promises 1\nbooted 1000\nboot-id b1\n" + PromiseStore::Line(promise) + "\n";
    table_.started.clear();
    CommandHandler node(values_, xap_, queue_, log_, events_, operations_, computer_, AccessRules{},
                        100, {}, "/data/promises.txt");
    node.Begin(now.booted, now.boot_id);
    loop_.Advance(10);
    EXPECT_EQ(table_.started.size(), now.same_boot ? 1u : 0u)
        << "booted at " << now.booted << ", boot " << now.boot_id;
    // Written when the promises change, not at every start or look at a run.
    files_.files.erase("/data/promises.txt");
    node.Readmessage(XapRequest("", "Process.Control\n{\nAction=start\nPath=/opt/app/x\n}\n"));
    loop_.Advance(RestartPlans::kCheckMs * 4);
    EXPECT_EQ(files_.files.count("/data/promises.txt"), 0u);
  }
}

// promises.txt is the node's own, but a line planted there is judged as the request it was,
// and a file that is no list of promises is set aside, not half read.
TEST_F(CommandHandlerTest, APlantedPromiseStartsNothingTheRulesRefuse) {
  files_.files["/cfg/settings.ini"] = "[Access]\r\nAllowPrograms=/opt/app/*\r\n";
  const AccessRules rules =
      AccessRules::Load(files_, events_, log_, "/cfg/settings.ini", PathRules::Posix());
  Promise planted;
  planted.request = {"/tmp/evilstart", "Unknown", "", "2", "Unknown", "acme.x.y", "", "", ""};
  planted.policy = RestartPolicy::kAlways;
  files_.files["/tmp/evilstart"] = "";
  for (const std::string& text :
       {"varnix-promises 1\n" + PromiseStore::Line(planted) + "\n",
        "varnix-promises 1\n" + std::string(PromiseStore::kMostBytes, 'x')}) {
    files_.files["/data/promises.txt"] = text;
    CommandHandler node(values_, xap_, queue_, log_, events_, operations_, computer_, rules, 100,
                        {}, "/data/promises.txt");
    node.Begin();
    loop_.Advance(10);
    EXPECT_TRUE(table_.started.empty());
  }
  EXPECT_EQ(files_.files.count("/data/promises.txt.unreadable"), 1u);
}

// A promise is one line of printable words, whatever its path and parameter hold.
TEST(PromiseStoreTest, ALineGivesBackWhatItKept) {
  Promise promise;
  promise.request = {
      "/opt/my app/x%y", "", "--a \"b c\"\t\u00e9", "1", "HIGH", "acme.x.y", "", "", ""};
  promise.policy = RestartPolicy::kAlways;
  promise.pid = 42;
  promise.started_at = 123456789;
  const std::string line = PromiseStore::Line(promise);
  EXPECT_EQ(line.find_first_of("\t\n\r"), std::string::npos);
  EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return c > 0 && c < 0x7F; }));
  Promise back;
  ASSERT_TRUE(PromiseStore::FromLine(line, back));
  EXPECT_EQ(back.request.path, promise.request.path);
  EXPECT_EQ(back.request.parameter, promise.request.parameter);
  EXPECT_EQ(back.request.title, "");
  EXPECT_EQ(back.policy, RestartPolicy::kAlways);
  EXPECT_EQ(back.pid, 42u);
  EXPECT_EQ(back.started_at, 123456789u);
  EXPECT_FALSE(back.done);
  EXPECT_FALSE(back.last_end);
  // What ended in this boot, and how; a line of the version before is read as it was.
  promise.done = true;
  promise.last_end = ExitStatus{3, ""};
  ASSERT_TRUE(PromiseStore::FromLine(PromiseStore::Line(promise), back));
  EXPECT_TRUE(back.done);
  EXPECT_EQ(EndWords(back.last_end), "exit 3");
  promise.last_end = ExitStatus{std::nullopt, "SIGSEGV"};
  ASSERT_TRUE(PromiseStore::FromLine(PromiseStore::Line(promise), back));
  EXPECT_EQ(EndWords(back.last_end), "SIGSEGV");
  ASSERT_TRUE(PromiseStore::FromLine("keep always 1 2 gave-up /x % % % % % % %", back));
  EXPECT_TRUE(back.gave_up);
  EXPECT_FALSE(PromiseStore::FromLine("keep always 1 2 kept %zz % % % % % % %", back));
}

// An announced program is reported at every pass: one the node started already, and one not
// running yet, looked for at each pass until found. A query switches the reports off.
TEST_F(CommandHandlerTest, AnnouncedProgramsAreReportedAtEveryPass) {
  const auto reports = [&] {
    handler_.SupervisionPass();
    int count = 0;
    for (const std::string& sent : Sent()) count += sent.rfind("process.notification|", 0) == 0;
    return count;
  };
  const auto announce = [&](const std::string& path) {
    Request("Homeseer.Role", "Role.Notification\n{\nPath=" + path + "\n}\n", "", "acme.tool.pc1");
  };
  Control("Action=start\nPath=/opt/app/notes\n");
  reports();
  EXPECT_EQ(reports(), 0) << "a started program is told at its start and end only";
  announce("/opt/app/notes");
  EXPECT_EQ(reports(), 1);
  EXPECT_EQ(reports(), 1);

  files_.files["/opt/app/later"] = "";
  announce("/opt/app/later");
  EXPECT_EQ(reports(), 1) << "only the first";
  const ProcessId later = table_.Add("later");
  table_.processes[later].path = "/opt/app/later";
  EXPECT_EQ(reports(), 2);
  Control("Action=query\nPath=/opt/app/later\n");
  Sent();
  EXPECT_EQ(reports(), 1);
}

// A node installed in a folder named in letters the wire's code page lacks names itself by the
// short form the system keeps for it: the same file, and never a "?".
TEST_F(CommandHandlerTest, TheRoleAnswerNamesTheNodeInLettersTheWireCarries) {
  TempFolder folder;
  StdFileSystem files;
  const std::string installed = folder.path("Überwachung Надзор");
  files.CreateFolder(installed);
  values_.ExePath =
      installed + static_cast<char>(std::filesystem::path::preferred_separator) + "varnix.exe";
  files.WriteAll(values_.ExePath, "");
  Request("Homeseer.Role", "Role.Query\n{\nRole=any\n}\n");
  const std::vector<std::string> sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  const std::string path = sent[0].substr(sent[0].find("|Path=") + 6);
  EXPECT_THAT(path, Not(HasSubstr("?")));
  EXPECT_EQ(WhyNotCarried(path), "") << path;
  EXPECT_EQ(LowerCase(LongPathOf(path)), LowerCase(values_.ExePath)) << path;
}

// An announcement asks to be supervised: the rules of an autonotify hold for it, and where
// signatures are required an unsigned one does nothing, without a word.
TEST_F(CommandHandlerTest, AnnouncementsPassTheRulesOfAnAutonotify) {
  TempFolder folder;
  StdFileSystem files;
  files.WriteAll(folder.path("settings.ini"),
                 "[Access]\r\nAllowSources=acme.controller.*\r\nRequireSignature=yes\r\n");
  WritePrivateFile(folder.path("access.key"), std::string(64, 'a'));
  CommandHandler guarded(
      values_, xap_, queue_, log_, events_, operations_, computer_,
      AccessRules::Load(files, events_, log_, folder.path("settings.ini"), PathRules::Posix()));
  guarded.Readmessage(
      XapRequest("", "Role.Notification\n{\nPath=/opt/a\n}\n", "Homeseer.Role", "acme.tool.pc1"));
  EXPECT_TRUE(guarded.registry().ProcessList().empty());
  EXPECT_TRUE(events_.events.empty());
  const std::string key(32, '\xaa');
  for (const char* source : {"acme.tool.pc1", "acme.controller.pc1"}) {
    guarded.Readmessage(SignMessage(
        XapRequest("", "Role.Notification\n{\nPath=/opt/a\n}\n", "Homeseer.Role", source), key,
        UnixSecondsNow()));
  }
  ASSERT_EQ(guarded.registry().ProcessList().size(), 1u);
  EXPECT_THAT(events_.events.at(0), HasSubstr("Refused announcement of /opt/a from acme.tool.pc1"));
}

}  // namespace
}  // namespace varnix

namespace varnix {
namespace {

// Each start's output goes to a relay into the program's own log, unless it keeps none; the
// log is read back in whole lines, as many messages as they take, to the one who asked only.
TEST_F(CommandHandlerTest, ProgramsOutputIsRelayedToTheirLogsAndReadBackToTheAskerOnly) {
  DeclaredProgram quiet;
  quiet.name = "Quiet";
  quiet.path = "/opt/app/quiet";
  quiet.log = false;
  quiet.at_boot = false;
  files_.files["/opt/app/quiet"] = "";
  ProgramLogs logs(files_, "/data/Logs/", values_.ExePath, {});
  files_.files["/cfg/settings.ini"] = "[Access]\r\nAllowSources=acme.controller.*\r\n";
  const AccessRules rules =
      AccessRules::Load(files_, events_, log_, "/cfg/settings.ini", PathRules::Posix());
  CommandHandler node(
      values_, xap_, queue_, log_, events_, operations_, computer_, rules, 100,
      [&](std::vector<std::string>*) {
        DeclaredProgram device = quiet;
        device.name = "CON";
        device.log = true;
        return std::vector{quiet, device};
      },
      "", &logs);
  const auto send = [&](const std::string& items, const std::string& source) {
    node.Readmessage(XapRequest("qel.Process.PC1", "Process.Control\n{\n" + items + "}\n",
                                "Computer.Process", source));
  };
  send("Action=start\nPath=/opt/app/notes\n", "acme.controller.pc2");
  send("Action=start\nName=Quiet\n", "acme.controller.pc2");
  ASSERT_EQ(table_.launches.size(), 2u);
  EXPECT_EQ(table_.launches[0].relay.program, "/opt/varnix/varnix");
  EXPECT_EQ(table_.launches[0].relay.arguments,
            RelayArguments("/data/Logs/notes.log", LogLimits{}));
  EXPECT_TRUE(table_.launches[1].relay.program.empty()) << "Log=no keeps nothing";
  Sent();

  // A relay that ends before its program is told once: in the log, the program's log and
  // each report of it.
  ASSERT_EQ(table_.relays_lost.size(), 1u);
  table_.relays_lost.begin()->second = true;
  for (int pass = 0; pass < 2; ++pass) node.SupervisionPass();
  const std::vector<std::string> reports = Sent();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_THAT(reports[0], HasSubstr("|Output=not kept: its relay ended at "));
  EXPECT_THAT(log_.lines.back(), HasSubstr("The output of notes (PID "));
  EXPECT_THAT(files_.files["/data/Logs/notes.log"],
              HasSubstr(" --- ... output from here on not kept: its relay ended at "));
  files_.files.erase("/data/Logs/notes.log");

  std::string kept;
  for (int i = 1; i <= 300; ++i) {
    kept += "2026-12-08T15:50:01.123+01:00 out line " + std::to_string(i) +
            (i == 300 ? " \x1b[31mred" : "") + "\n";
  }
  files_.files["/data/Logs/notes.log"] = kept;
  send("Action=log\nPath=/opt/app/notes\nLines=900\nRequest=r1\n", "acme.controller.pc2");
  std::vector<std::string> answers = Sent();
  ASSERT_GT(answers.size(), 1u);
  size_t lines = 0;
  for (size_t i = 0; i < answers.size(); ++i) {
    const std::string head =
        "to acme.controller.pc2 process.log|Name=notes|Path=/opt/app/notes|"
        "Part=" +
        std::to_string(i + 1) + "|Parts=" + std::to_string(answers.size()) + "|Lines=";
    EXPECT_EQ(answers[i].rfind(head, 0), 0u) << answers[i];
    EXPECT_THAT(answers[i], HasSubstr("|Request=r1|Line1="));
    EXPECT_LE(answers[i].size(), 1200u);
    lines += std::stoul(answers[i].substr(head.size()));
  }
  EXPECT_EQ(lines, CommandHandler::kMostLogLines);
  EXPECT_THAT(answers.front(), HasSubstr("|Line1=2026-12-08T15:50:01.123+01:00 out line 101|"));
  EXPECT_THAT(answers.back(), HasSubstr(" out line 300 \\x1b[31mred"))
      << "a control character is shown, not sent";

  // A stranger gets nothing but the refusal; a program without a log, the usual error.
  events_.events.clear();
  send("Action=log\nPath=/opt/app/notes\n", "evil.intruder.pc9");
  send("Action=log\nPath=/opt/app/gone\n", "acme.controller.pc2");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(events_.events,
            (std::vector<std::string>{"Refused log of /opt/app/notes from evil.intruder.pc9",
                                      "ProcessLog 10 File not found: no log of gone"}));
  // One whose name no file can take is said to keep none, when read and when asked.
  EXPECT_THAT(log_.lines, Contains(HasSubstr("The program CON keeps no log: Windows keeps the "
                                             "name CON for a device"))
                              .Times(1));
  events_.events.clear();
  send("Action=log\nName=CON\n", "acme.controller.pc2");
  EXPECT_EQ(events_.events, std::vector<std::string>{"ProcessLog 10 File not found: CON keeps no "
                                                     "log: Windows keeps the name CON for a "
                                                     "device, so no file can be called so; "
                                                     "declare the program under another name"});
  // One it knows that has said nothing has an empty log.
  send("Action=log\nName=Quiet\n", "acme.controller.pc2");
  EXPECT_EQ(Sent(), std::vector<std::string>{"to acme.controller.pc2 process.log|Name=Quiet|"
                                             "Path=/opt/app/quiet|Part=1|Parts=1|Lines=0"});

  // Never to a wildcard, which every node of the LAN would answer; a path answers for its own
  // file alone, never a declared program of that name elsewhere; the node's own file, which
  // its relays run, is no program of any request.
  files_.files["/data/Logs/Quiet.log"] = kept;
  node.Readmessage(XapRequest("qel.Process.*", "Process.Control\n{\nAction=log\nName=Quiet\n}\n",
                              "Computer.Process", "acme.controller.pc2"));
  events_.events.clear();
  send("Action=log\nPath=/usr/bin/Quiet\n", "acme.controller.pc2");
  send("Action=stop\nPath=/opt/varnix/varnix\n", "acme.controller.pc2");
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(events_.events, (std::vector<std::string>{
                                "ProcessLog 10 File not found: no log of Quiet",
                                "Refused stop of /opt/varnix/varnix from acme.controller.pc2"}));
  // A flood of refused requests is told a few times, then only counted, in one line a minute.
  events_.events.clear();
  log_.lines.clear();
  for (int i = 0; i < 500; ++i) send("Action=log\nPath=/opt/app/notes\n", "evil.flood.pc8");
  EXPECT_EQ(events_.events.size(), 10u);
  ASSERT_EQ(log_.lines.size(), 11u);
  EXPECT_THAT(log_.lines.back(), HasSubstr("Not answered: 1 refused requests"));
  // A follow beyond the bound is not promised in the answer.
  for (size_t i = 0; i <= LogFollowers::kMostFollowers; ++i) {
    send("Action=log\nName=Quiet\nLines=1\nFollow=30\n", "acme.controller.f" + std::to_string(i));
  }
  answers = Sent();
  ASSERT_EQ(answers.size(), LogFollowers::kMostFollowers + 1);
  EXPECT_THAT(answers.front(), HasSubstr("|Following=30"));
  EXPECT_THAT(answers.back(), Not(HasSubstr("Following")));
  EXPECT_EQ(events_.events.back().rfind("ProcessLog 10 Not followed: 8 follow logs", 0), 0u);
}

}  // namespace
}  // namespace varnix
