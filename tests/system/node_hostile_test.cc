// The real node under hostile traffic: a bounded flood, and requests far larger than any peer's.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/text.h"
#include "hostile_traffic.h"
#include "platform/error.h"
#include "platform/udp_socket.h"
#include "supervision/answer_budget.h"
#include "system/node_fixture.h"

namespace varnix {
namespace {

class NodeHostileTest : public NodeFixture {
 protected:
  void SetUp() override {
    WriteSettings();
    sender_ = platform_.loop->CreateUdpSocket([](std::string) {});
    Up();
  }
  // Starts the node (again, after a first run), and learns its port from its heartbeat.
  void Up(const std::vector<std::string>& environment = {}) {
    ASSERT_EQ(node_ ? EndNode() : 0, 0);
    hub_->Reset();
    StartNode(environment);
    ASSERT_NE(hub_->WaitForText("Data=Using xAP port"), "") << "the node did not come up";
    ASSERT_EQ(hub_->clients().size(), 1u);
    node_port_ = *hub_->clients().begin();
  }

  void SendToNode(const std::string& datagram) {
    try {
      sender_->SendTo("127.0.0.1", node_port_, datagram);
    } catch (const Error&) {
      // A full buffer on the way refuses a datagram now and then; a flood does not care.
    }
  }
  void Control(const std::string& items) {
    SendToNode(XapRequest(Target(), "Process.Control\n{\n" + items + "}\n"));
  }
  // The node's answer to an echo of `text`, waited for at most `limit`.
  bool Answers(const std::string& text, milliseconds limit) {
    return !hub_->WaitForText("Response=" + text, limit).empty();
  }
  // Asks for an echo of `text`, which comes after the answers to all sent before it.
  bool Echoed(const std::string& text, milliseconds limit) {
    SendToNode(Echo(text));
    return Answers(text, limit);
  }
  // An echo sent into buffers still full is lost, as UDP loses it: asked again, as a controller
  // would, every `each` up to `tries` times.
  bool AnswersAgain(const std::string& text, int tries, milliseconds each = milliseconds(200)) {
    bool answered = false;
    for (int i = 0; i < tries && !answered; ++i) answered = Echoed(text, each);
    return answered;
  }
  uint64_t ResidentKiB() const { return varnix::ResidentKiB(node_->Pid()); }
  size_t LogLinesWith(const std::string& needle) {
    return Occurrences(ReadFile("Data/Korvane.txt"), needle);
  }

  uint16_t node_port_ = 0;
  std::unique_ptr<UdpSocket> sender_;
};

TEST_F(NodeHostileTest, AFloodLeavesTheNodeAnsweringWithinItsMemory) {
  if (separator_ == '\\') {
    // Under Wine every receive is a round trip to its server, several times the cost of the
    // node's own work: the figures would be Wine's.
    GTEST_SKIP() << "the flood's figures are measured on Linux";
  }
  const std::vector<std::string> malformed = MalformedDatagrams();
  const std::string for_others = RequestForAnotherNode();
  ASSERT_TRUE(Echoed("before", milliseconds(5000)));
  const uint64_t resident_before = ResidentKiB();

  constexpr int kEach = 200000;
  uint64_t resident_peak = resident_before;
  const auto flood_start = Clock::now();
  for (int i = 0; i < kEach; ++i) {
    SendToNode(malformed[i % malformed.size()]);
    SendToNode(for_others);
    if (i % 5000 == 0) {
      resident_peak = std::max(resident_peak, ResidentKiB());
      // The test's own hub must not fall behind on what the node sends.
      platform_.loop->DispatchPending(milliseconds(0));
    }
    ASSERT_LT(Clock::now() - flood_start, std::chrono::seconds(60)) << "the flood is bounded";
  }
  EXPECT_TRUE(AnswersAgain("after the flood", 10, milliseconds(100)))
      << "no answer within 1 s of the flood's end";
  resident_peak = std::max(resident_peak, ResidentKiB());

#ifndef VARNIX_SANITIZED  // the sanitizer's own memory would be counted
  if (resident_before > 0) {
    EXPECT_LT(resident_peak, 16u * 1024) << "KiB at the peak, from " << resident_before;
  }
#endif
  EXPECT_EQ(EndNode(), 0);
  // One line a flood; a sender held back for a second on a busy machine makes it two floods.
  EXPECT_LE(LogLinesWith("messages dropped"), 2u) << "the drops of one flood are one line";
  EXPECT_LT(ReadFile("Data/Korvane.txt").size(), 64u * 1024) << "the log is not flooded";
}

// The computer's status, asked of every node at once by one source in a burst: answered
// within what one source may make the node send, the rest refused and said once.
TEST_F(NodeHostileTest, AStatusFloodIsAnsweredWithinItsBudget) {
  const std::string ask =
      XapRequest("", "Computer.Control\n{\nQuery=Status\n}\n", "Computer.Process", "evil.x.y");
  for (int i = 0; i < 1000; ++i) {
    SendToNode(ask);
    if (i % 100 == 0) platform_.loop->DispatchPending(milliseconds(0));
  }
  // Under Wine each of the thousand is a round trip to its server before the echo's turn.
  ASSERT_TRUE(AnswersAgain("after the burst", separator_ == '\\' ? 25 : 10));
  EXPECT_EQ(EndNode(), 0);
  const size_t answers = hub_->Count("Computer.Status");
  EXPECT_GE(answers, 1u);
  EXPECT_LE(answers, 2 * AnswerBudget::kMessagesPerSecond);
  EXPECT_EQ(LogLinesWith("the last from evil.x.y"), 1u);
}

// Requests for another node, sent straight to this node's port in a burst, cost no place in
// its queue: an echo right after the burst is still heard, and answered. The node is held
// while they arrive, so that the burst waits whole in its socket, however fast this machine.
TEST_F(NodeHostileTest, ABurstForAnotherNodeLeavesRoomForWhatFollows) {
#ifdef _WIN32
  GTEST_SKIP() << "the node is held with SIGSTOP";
#else
  const std::string for_others = RequestForAnotherNode();
  ::kill(node_->Pid(), SIGSTOP);
  for (int i = 0; i < 12000; ++i) SendToNode(for_others);
  SendToNode(Echo("right after"));
  ::kill(node_->Pid(), SIGCONT);
  EXPECT_TRUE(Answers("right after", milliseconds(1000)));
  EXPECT_EQ(EndNode(), 0);
#endif
}

// Any host can query paths the node has never heard of; each would be a record for ever. The
// registry is bounded: past its size the node stays as large as it was, and says so once.
TEST_F(NodeHostileTest, QueriesOfMadeUpPathsDoNotGrowTheNode) {
  if (separator_ == '\\') GTEST_SKIP() << "the figures are measured on Linux";
  [[maybe_unused]] uint64_t resident_after_first = 0;  // read only where not sanitized
  const auto started = Clock::now();
  for (int batch = 0; batch < 20; ++batch) {
    for (int i = 0; i < 1000; ++i) {
      SendToNode(XapRequest(Target(), "Process.Control\n{\nAction=query\nPath=/made/up/" +
                                          std::to_string(batch) + "/" + std::to_string(i) +
                                          "\n}\n"));
      if (i % 100 == 0) platform_.loop->DispatchPending(milliseconds(0));
    }
    // Every query is handled once the echo after them is answered; asked again if it was lost
    // (each query looks through every process: on a busy machine a batch takes seconds).
    ASSERT_TRUE(AnswersAgain("batch " + std::to_string(batch), 300));
    if (batch == 0) resident_after_first = ResidentKiB();
  }
#ifndef VARNIX_SANITIZED  // the sanitizer's own memory would be counted
  EXPECT_LT(ResidentKiB(), resident_after_first + 1024) << "KiB";
#endif
  const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(Clock::now() - started);
  const size_t said = hub_->Count("Registry full (1000 records): query of /made/up/");
  EXPECT_GE(said, 1u);
  EXPECT_LE(said, 1u + static_cast<size_t>(minutes.count())) << "at most once a minute";
}

// A request's text must not forge items in the reply, and a number too large is no number.
TEST_F(NodeHostileTest, ControlCharactersAndHugeNumbersInARequestAreHarmless) {
  const std::string forged(
      "/made/up\x01"
      "forged=yes\0PID=1\x1b[2J",
      30);
  Control("Action=query\nPath=" + forged + "\n");
  // Refused, as a path with a control character is; the refusal names it on one line.
  SendToNode(XapRequest(Target(), "Echo.Query\n{\nQuery=echo" + forged + "\n}\n", "WDT.Echo"));
  for (const std::string& reply : {hub_->WaitForText("Refused query of /made/up"),
                                   hub_->WaitForText("Response=echo/made/up")}) {
    ASSERT_NE(reply, "");
    EXPECT_EQ(reply.find("\nforged=yes"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("\nPID="), std::string::npos) << reply;
    EXPECT_TRUE(std::none_of(reply.begin(), reply.end(), [](char c) {
      return (static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F;
    })) << reply;
  }

  const std::string program = CopyOfThisProgram("vxwindow");
  Control("Action=start\nPath=" + program + "\nParameter=--helper polite\nWindow=4294967296\n");
  const std::string started = hub_->WaitForText("Path=" + program + "\n");
  EXPECT_EQ(started.find("\nPID=0\n"), std::string::npos) << started;
  Control("Action=stop\nPath=" + program + "\n");
  ASSERT_TRUE(Echoed("done", milliseconds(10000)));
  EXPECT_EQ(hub_->WaitForText("out of range", milliseconds(0)), "");
}

// The node's own file name, in any folder, names the node itself: it must not end it, nor
// change its priority. Nor its relays, which outlive a restart of the node: a stop of their
// program would end them, and their programs with their next line.
TEST_F(NodeHostileTest, ARequestNamingTheNodeItselfLeavesItRunning) {
  const std::string ticker = CopyOfThisProgram("vxticker");
  Control("Action=start\nPath=" + ticker + "\nParameter=--helper ticks 100000 50\n");
  ASSERT_NE(hub_->WaitForText("Path=" + ticker), "");
  Up();  // the ticker's relay is now older than the node
  Control("Action=stop\nPath=" + node_path_ + "\n");
  EXPECT_NE(hub_->WaitForText("Refused stop of " + node_path_), "");
  const std::string relay = node_path_.substr(0, node_path_.find_last_of("/\\") + 1) +
                            (separator_ == '\\' ? "varnix-relay.exe" : "varnix-relay");
  Control("Action=stop\nPath=" + relay + "\n");
  EXPECT_NE(hub_->WaitForText("Refused stop of " + relay), "");
  hub_->WaitFor([] { return false; }, milliseconds(6000));
  const ProcessId ticking =
      platform_.processes->FindByFileName(ticker.substr(ticker.find_last_of("/\\") + 1));
  EXPECT_NE(ticking, 0u) << "the ticker died with its relay";
  if (ticking != 0) platform_.processes->Terminate(ticking);

  const std::string name = node_path_.substr(node_path_.find_last_of("/\\") + 1);
  const std::string elsewhere = separator_ == '\\' ? "C:\\no\\such\\dir\\" : "/no/such/dir/";
  Control("Action=start\nPath=" + node_path_ + "\nPriority=LOW\n");
  Control("Action=stop\nPath=" + elsewhere + name + "\n");
  ASSERT_TRUE(Echoed("still here", milliseconds(60000)));
  EXPECT_EQ(node_->WaitForExit(milliseconds(0)), std::nullopt);
  EXPECT_EQ(platform_.processes->GetPriority(static_cast<ProcessId>(node_->Pid())),
            PriorityClass::kNormal);
  EXPECT_EQ(EndNode(), 0);
}

// Datagrams built to cost: repeated items (a log line each, once) and thousands of distinct
// keys (a quadratic parse, once). Neither may fill the disk or stall the node.
TEST_F(NodeHostileTest, DatagramsBuiltToCostAreCheap) {
  std::string repeated = XapRequest("acme.other.device", "Process.Control\n{\n");
  while (repeated.size() < 60000) repeated += "k=1\n";
  for (int i = 0; i < 20; ++i) SendToNode(repeated + "}\n");
  std::string distinct = XapRequest("acme.other.device", "Process.Control\n{\n");
  for (int i = 0; i < 8000; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "%05d", i);
    distinct += std::string(key) + "=\n";
  }
  distinct += "}\n";
  const auto sent = Clock::now();
  for (int i = 0; i < 50; ++i) SendToNode(distinct);
  ASSERT_TRUE(Echoed("after", milliseconds(20000)));
  EXPECT_LT(Clock::now() - sent, milliseconds(5000)) << "a parse is linear in the datagram's size";
  EXPECT_EQ(EndNode(), 0);
  EXPECT_LT(ReadFile("Data/Korvane.txt").size(), 4096u)
      << ReadFile("Data/Korvane.txt").substr(0, 400);
}

// While a stop waits, datagrams pile up in the receive queue. The queue is bounded by bytes
// as well as by count, and gives its memory back once drained.
TEST_F(NodeHostileTest, LargeDatagramsDuringAStopsWaitAreBoundedAndGiveMemoryBack) {
  if (separator_ == '\\') GTEST_SKIP() << "the figures are measured on Linux";
  const std::string program = CopyOfThisProgram("vxstubborn");
  Control("Action=start\nPath=" + program + "\nParameter=--helper stubborn\n");
  ASSERT_NE(hub_->WaitForText("Path=" + program + "\n"), "");
  ASSERT_TRUE(Echoed("before", milliseconds(5000)));
  const uint64_t resident_before = ResidentKiB();
  // The stop waits five seconds for the polite request before it ends the program by force.
  Control("Action=stop\nPath=" + program + "\n");
  const std::string large = RequestForAnotherNode() + std::string(64000, 'x');
  uint64_t resident_peak = resident_before;
  const auto flood_start = Clock::now();
  for (int i = 0; i < 12000 && Clock::now() - flood_start < std::chrono::seconds(4); ++i) {
    SendToNode(large);
    if (i % 500 == 0) resident_peak = std::max(resident_peak, ResidentKiB());
  }
  ASSERT_NE(hub_->WaitForText("PID=0", milliseconds(30000)), "") << "the stop did not finish";
  ASSERT_TRUE(AnswersAgain("drained", 100));
  resident_peak = std::max(resident_peak, ResidentKiB());
#ifndef VARNIX_SANITIZED  // the sanitizer's own memory would be counted
  EXPECT_LT(resident_peak, resident_before + 24 * 1024) << "KiB at the peak";
  EXPECT_LT(ResidentKiB(), resident_before + 4 * 1024) << "KiB once drained";
#endif
}

// Requests come through the hub, on loopback. One sent from another computer straight to the
// node's LAN address would pass round the hub's --allow: it is dropped, and said in the log.
TEST_F(NodeHostileTest, ADatagramFromAnotherComputerToTheLanPortIsDropped) {
  if (separator_ == '\\' || std::getenv("VARNIX_NETWORK_ISOLATED") == nullptr) {
    GTEST_SKIP() << "needs the test network namespace (tests/isolated.sh) and its veth LAN";
  }
  // Another computer: a network namespace of its own, joined to this one by a veth pair.
  const std::string script = R"sh(
    set -e
    ip link add vxpeer0 type veth peer name vxpeer1
    ip addr add 10.254.1.1/24 dev vxpeer0
    ip link set vxpeer0 up
    unshare -n bash -c '
      for i in $(seq 200); do ip link show vxpeer1 >/dev/null 2>&1 && break; sleep 0.05; done
      ip link set lo up
      ip addr add 10.254.1.2/24 dev vxpeer1
      ip link set vxpeer1 up
      ip route add default via 10.254.1.1
      printf "%s" "$1" > /dev/udp/10.254.0.1/$2' _ "$1" "$2" &
    child=$!
    for i in $(seq 200); do
      [ "$(readlink /proc/$child/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
      sleep 0.05
    done
    ip link set vxpeer1 netns "$child"
    wait "$child")sh";
  auto remote = StartChildProcess(
      "/bin/bash", {"-c", script, "remote", Echo("from afar"), std::to_string(node_port_)});
  ASSERT_EQ(remote->WaitForExit(milliseconds(20000)), 0) << "the other computer could not send";
  ASSERT_TRUE(Echoed("from here", milliseconds(5000)));
  EXPECT_FALSE(Answers("from afar", milliseconds(0)));
  EXPECT_EQ(EndNode(), 0);
  EXPECT_EQ(LogLinesWith("from other computers, the last from 10.254.1.2"), 1u)
      << ReadFile("Data/Korvane.txt");
}

// On a computer without a desktop (or before the program's window comes) no window holds a
// title: a start with a title still reports the program it started, and a stop by that title
// ends it, and says so only once it has ended.
TEST_F(NodeHostileTest, AStopByTitleWithoutWindowsEndsTheRecordsProgram) {
  Up({"DISPLAY="});
  const std::string program = CopyOfThisProgram("vxtitled");
  Control("Action=start\nPath=" + program + "\nTitle=My Job\nParameter=--helper polite\n");
  const std::string started = hub_->WaitForText("Title=My Job\n");
  const ProcessId pid = PidOf(started);
  ASSERT_NE(pid, 0u) << started;
  EXPECT_EQ(LowerCase(platform_.processes->ProgramPath(pid)), LowerCase(program));
  Control("Action=stop\nTitle=My Job\n");
  ASSERT_NE(hub_->WaitForText("Title=My Job\nPID=0\n", milliseconds(30000)), "");
  EXPECT_FALSE(platform_.processes->IsAlive(pid)) << "reported stopped, and runs on";
}

// AllowPrograms judges the file that would run: no "..", link or NUL leads out of its folder.
TEST_F(NodeHostileTest, AllowedProgramsCannotBeLeftByTheirPath) {
  if (separator_ == '\\') GTEST_SKIP() << "links and NULs in paths are tested on Linux";
  ASSERT_EQ(EndNode(), 0);
  platform_.files->CreateFolder(Path("allowed"));
  const std::string outside = CopyOfThisProgram("vxoutside");
  std::filesystem::create_symlink(outside, Path("allowed/link"));
  platform_.files->WriteAll(Path("Config/settings.ini"),
                            "[Access]\r\nAllowPrograms=" + Path("allowed") + "/*\r\n");
  Up();
  for (const std::string& path : {Path("allowed/../vxoutside"), Path("allowed/link"),
                                  Path("allowed/x") + std::string("\0/../vxoutside", 14)}) {
    Control("Action=start\nPath=" + path + "\nParameter=--helper polite\n");
  }
  ASSERT_TRUE(Echoed("fence", milliseconds(10000)));
  size_t refused = 0;
  for (const std::string& text : hub_->received()) {
    refused += text.find("Data=Refused start of " + Path("allowed")) != std::string::npos;
    EXPECT_EQ(text.find("Process.Notification"), std::string::npos) << text;
  }
  EXPECT_EQ(refused, 3u);
}

// A program is the file its path names, whether the node started it or not: a name alike in
// its first 15 bytes (all Linux keeps of a name), or the same file name in another folder, is
// another program, and a made-up path names nothing that runs.
TEST_F(NodeHostileTest, ARequestActsOnTheProgramItsPathNamesAndNoOther) {
  const std::string exe = separator_ == '\\' ? ".exe" : "";
  const std::string own = CopyOfThisProgram("pvworker-nightly-B");
  platform_.files->CreateFolder(Path("other"));
  const std::string alike = Path("other/pvworker-nightly-A" + exe);
  const std::string namesake = Path("other/pvworker-nightly-B" + exe);
  std::vector<std::unique_ptr<ChildProcess>> others;
  const auto run = [&](const std::string& copy) {
    platform_.files->Copy(own, copy);
    MakeExecutable(copy);
    others.push_back(StartChildProcess(copy, {"--helper", "polite"}));
    const auto pid = static_cast<ProcessId>(others.back()->Pid());
    return hub_->WaitFor([&] { return platform_.processes->ProgramPath(pid) == copy; });
  };
  auto victim = StartChildProcess(CopyOfThisProgram("pvvictim"), {"--helper", "polite"});
  ASSERT_TRUE(run(alike));
  Control("Action=start\nPath=" + own + "\nParameter=--helper polite\nPriority=BELOW_NORMAL\n");
  const ProcessId started = PidOf(hub_->WaitForText("Path=" + own + "\n"));
  EXPECT_NE(started, others[0]->Pid());
  EXPECT_EQ(platform_.processes->GetPriority(static_cast<ProcessId>(others[0]->Pid())),
            PriorityClass::kNormal);
  // The namesake, started beside the node's own, stopped by its path; then the node's own, and
  // a made-up one.
  ASSERT_TRUE(run(namesake));
  for (const std::string& path : {namesake, own, std::string("/nonexistent/folder/pvvictim")}) {
    Control("Action=stop\nPath=" + path + "\n");
  }
  ASSERT_TRUE(Echoed("done", milliseconds(30000)));
  EXPECT_NE(others[1]->WaitForExit(milliseconds(5000)), std::nullopt) << "the namesake's path";
  EXPECT_FALSE(platform_.processes->IsAlive(started)) << "the node's own";
  EXPECT_EQ(others[0]->WaitForExit(milliseconds(0)), std::nullopt) << "a name alike";
  EXPECT_EQ(victim->WaitForExit(milliseconds(0)), std::nullopt) << "a made-up path";
}

// A file that is not a program: the system's reason, with the path where its text has a
// place for one, and no placeholder left in.
TEST_F(NodeHostileTest, AFileThatIsNotAProgramIsToldInPlainWords) {
  const std::string text_file = Path(separator_ == '\\' ? "notes.exe" : "notes");
  platform_.files->WriteAll(text_file, "not a program\r\n");
  MakeExecutable(text_file);
  Control("Action=start\nPath=" + text_file + "\n");
  const std::string event = hub_->WaitForText("Cannot start " + text_file + ": ");
  ASSERT_NE(event, "");
  EXPECT_EQ(event.find("%1"), std::string::npos) << event;
  // The path once in the event and once in the log's line; a folder is called a folder.
  EXPECT_EQ(Occurrences(event, text_file), 1u) << event;
  Control("Action=start\nPath=" + Path("Config") + "\n");
  ASSERT_TRUE(FileHolds(Path("Data/Korvane.txt"),
                        "Cannot start " + Path("Config") + " for acme.tester.peer: a folder",
                        milliseconds(5000)))
      << ReadFile("Data/Korvane.txt");
  const std::string log = ReadFile("Data/Korvane.txt");
  const size_t line = log.find("Cannot start " + text_file);
  ASSERT_NE(line, std::string::npos) << log;
  EXPECT_EQ(Occurrences(log.substr(line, log.find('\n', line) - line), text_file), 1u) << log;
}

TEST_F(NodeHostileTest, HugeRequestsAreAnsweredWithinOneDatagramEach) {
  // A thousand sections and ten thousand items in one datagram.
  std::string many = "";
  for (int i = 0; i < 1000; ++i) {
    many += "Echo.Query\n{\n";
    for (int j = 0; j < 10; ++j) many += "Query=" + std::to_string(i * 10 + j) + "\n";
    many += "}\n";
  }
  SendToNode(XapRequest(Target(), many, "WDT.Echo"));
  // Values of 60,000 bytes above 127, once whole and once cut by NULs, in each request kind.
  std::string huge(60000, 'a');
  for (size_t i = 0; i < huge.size(); i += 97) huge[i] = static_cast<char>(0x80 + i % 100);
  std::string with_nuls = huge;
  for (size_t i = 50; i < with_nuls.size(); i += 1001) with_nuls[i] = '\0';
  for (const std::string& value : {huge, with_nuls}) {
    SendToNode(XapRequest(Target(), "Echo.Query\n{\nQuery=" + value + "\n}\n", "WDT.Echo"));
    Control("Action=start\nPath=/" + value + "\n");
    Control("Action=autonotify\nPath=/" + value + "\n");
    Control("Action=query\nTitle=" + value + "\n");
    SendToNode(XapRequest(Target(), "Role.Query\n{\nRole=" + value + "\n}\n", "Homeseer.Role"));
  }

  EXPECT_TRUE(Echoed("still here", milliseconds(5000)));
  // Reported whole: the record of the huge path and those of both huge titles (the path with
  // NULs is refused, as every path with a control character is).
  size_t echoed_whole = 0;
  size_t reported_whole = 0;
  hub_->WaitFor(
      [&] {
        echoed_whole = reported_whole = 0;
        for (const std::string& sent : hub_->received()) {
          if (sent.size() < huge.size()) continue;
          echoed_whole += sent.find("Response=") != std::string::npos;
          reported_whole += sent.find("Process.Notification") != std::string::npos;
        }
        return reported_whole >= 3;
      },
      milliseconds(30000));
  for (const std::string& sent : hub_->received()) {
    EXPECT_LE(sent.size(), 65507u) << "more than one datagram: " << sent.substr(0, 200);
  }
  EXPECT_EQ(echoed_whole, 0u) << "a long echo is not answered: every node would send it back";
  EXPECT_GE(reported_whole, 3u) << "the huge records, at their query";
  EXPECT_EQ(EndNode(), 0);
}

// What the node says itself comes back through the hub: its own role answer, which names the
// node's own file, is no program to adopt, and a request made up in its own name (with a
// sub-address) is nobody's.
TEST_F(NodeHostileTest, ItsOwnWordComingBackIsNotActedOn) {
  SendToNode(XapRequest("", "Role.Query\n{\nRole=Application\n}\n", "Homeseer.Role"));
  EXPECT_EQ(Item(hub_->WaitForText("Role.Notification"), "Path"), node_path_);
  SendToNode(XapRequest("", "Role.Notification\n{\nRole=Application\nPath=/bin/true\n}\n",
                        "Homeseer.Role", Target() + ":sub"));
  // Its own answer is relayed back to it by the hub; let it come, then fence with an echo.
  DispatchUntil(*platform_.loop, milliseconds(1500), [] { return false; });
  ASSERT_TRUE(AnswersAgain("fence", 10));
  for (const std::string& sent : hub_->received()) {
    EXPECT_EQ(sent.find("Process.Notification"), std::string::npos)
        << "a program adopted from the node's own word: " << sent.substr(0, 400);
  }
}

// A refusal names what the network chose, cut: 60 KB source names write short lines, and a few
// dozen of them rotate no log away.
TEST_F(NodeHostileTest, RefusalLinesAreCut) {
  const std::string source = "acme.tester." + std::string(60000, 'n');
  for (int i = 0; i < 40; ++i) {
    SendToNode(XapRequest(Target(), "Process.Control\n{\nAction=start\nPath=/bin/a\tb\n}\n",
                          "Computer.Process", source));
  }
  ASSERT_TRUE(AnswersAgain("after the refusals", 10));
  ASSERT_EQ(EndNode(), 0);
  const std::string log = ReadFile("Data/Korvane.txt");
  EXPECT_GE(LogLinesWith("Refused start"), 1u) << log.substr(0, 2000);
  for (const std::string& line : SplitLines(log)) EXPECT_LE(line.size(), 2200u);
  EXPECT_FALSE(FileExists("Data/Korvane.old.txt")) << "the log was rotated away";
}

}  // namespace
}  // namespace varnix
