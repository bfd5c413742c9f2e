// Tests of what the gateway takes from the LAN: which names are computers', and how texts are cut.
#include "gateway/node_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "fakes/fake_event_loop.h"
#include "gateway/computer_name.h"
#include "platform/error.h"

namespace varnix {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

class NodeDirectoryTest : public ::testing::Test {
 protected:
  // Made at its first use, once the test has set the config. It records what it says, the
  // token of each list it asks for, and each wake it sends (refused where no address is known).
  NodeDirectory& Nodes() {
    if (nodes_) return *nodes_;
    nodes_ = std::make_unique<NodeDirectory>(
        loop_, config_,
        [&](const std::string& target, const std::string&, const std::string&,
            const NodeDirectory::Items& items) {
          for (const auto& [name, value] : items) {
            if (name == "Request") tokens_[target] = value;
          }
        },
        [&](const std::string& text) { said_.push_back(text); },
        [&](const std::string& mac, const std::string& address) {
          if (address.empty()) throw Error(0, "its address is not known");
          woken_.emplace_back(mac, address);
          return std::string("192.168.1.255");
        });
    return *nodes_;
  }
  // What `source` says, heard now.
  void Hear(const std::string& source, const std::string& klass, const std::string& section,
            NodeDirectory::Items items) {
    Heard heard{source, klass, section, std::move(items)};
    heard.at_ms = loop_.NowMilliseconds();
    Nodes().Hear(heard);
  }

  FakeEventLoop loop_;
  GatewayConfig config_;
  std::vector<std::string> said_;
  std::map<std::string, std::string> tokens_;  // the list request's, by node
  std::vector<std::pair<std::string, std::string>> woken_;
  std::unique_ptr<NodeDirectory> nodes_;
};

TEST(NodeDirectoryNamesTest, ANodesNameIsOneComputersNameOrNothing) {
  const struct {
    std::string source;
    std::string computer;
  } rows[] = {
      {"qel.Process.OfficePC", "OfficePC"},
      {"QEL.PROCESS.office-pc_2", "office-pc_2"},
      {"qel.Process.Büro", "Büro"},
      {"qel.Process.Надзор:sub.part", "Надзор"},
      {"qel.Process." + std::string(63, 'a'), std::string(63, 'a')},
      {"qel.Process." + std::string(64, 'a'), ""},
      {"qel.Process.office.pc", ""},  // a node "pc" would take its requests as its own
      {"qel.Process.office pc", ""},
      {"qel.Process.pc\x1b[2J", ""},
      {"qel.Process.pc\xc2\x85", ""},      // a C1 control
      {"qel.Process.pc\xe2\x80\x8b", ""},  // an invisible space
      {"qel.Process.pc\xff", ""},          // not UTF-8
      // Letters of one script only, and nothing that shows as nothing.
      {"qel.Process.officeс", ""},                       // a Cyrillic "с" after Latin letters
      {"qel.Process.оffice", ""},                        // a Cyrillic "о" first
      {"qel.Process.officepc\xcd\x8f", ""},              // U+034F, the combining grapheme joiner
      {"qel.Process.officepc\xf3\xa0\x80\x81", ""},      // U+E0001, a language tag
      {"qel.Process.officepc\xe3\x85\xa4", ""},          // U+3164, the Hangul filler
      {"qel.Process.o\u0308ffice", ""},                  // a combining diaeresis
      {"qel.Process.пк-2", "пк-2"},                      // Cyrillic, with a digit
      {"qel.Process.東京のパソコン", "東京のパソコン"},  // Japanese mixes its scripts
      {"qel.Process.*", ""},
      {"qel.Process.", ""},
      {"acme.tool.pc", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ComputerOf(row.source), row.computer) << row.source;
  }
  const std::string cut = Bounded(std::string(510, 'x') + "ééé");
  EXPECT_EQ(cut, std::string(510, 'x') + "é... (4 bytes more)");
  EXPECT_EQ(Bounded("short"), "short");
}

// A computer's status as its node tells it: figures no computer has are left out, the MAC
// becomes the card a wake uses, and a wake goes once a second at most.
TEST_F(NodeDirectoryTest, AStatusGivesTheFiguresAndTheCardAWakeUses) {
  NodeDirectory& nodes = Nodes();
  const auto hear = [&](const std::string& section, NodeDirectory::Items items) {
    Hear("qel.Process.OfficePC", "Computer.Process", section, std::move(items));
  };
  hear("computer.status", {{"CPU", "12"},
                           {"MemoryUsed", "1000"},
                           {"MemoryTotal", "4000"},
                           {"DiskFree", "77"},
                           {"Booted", "1700000000"},
                           {"MAC", "AA-BB-CC-00-11-22"}});
  const NodeState& node = *nodes.Find("officepc");
  EXPECT_EQ(node.figures.cpu, 12u);
  EXPECT_EQ(node.figures.MemoryPercent(), 25u);
  EXPECT_EQ(node.figures.booted, 1700000000u);
  EXPECT_EQ(node.mac, "aa:bb:cc:00:11:22");
  std::string said;
  EXPECT_EQ(nodes.Wake("OFFICEPC", &said), NodeDirectory::Sent::kFailed) << "no address yet";
  EXPECT_EQ(said, "cannot wake OfficePC: its address is not known");

  hear("computer.notification", {{"IP", "192.168.1.20"}, {"Name", "OfficePC"}});
  hear("computer.status", {{"CPU", "140"},
                           {"MemoryUsed", "5000"},
                           {"MemoryTotal", "4000"},
                           {"DiskFree", "-1"},
                           {"Booted", "1e9"},
                           {"MAC", "01:00:5e:00:00:01"}});
  EXPECT_FALSE(node.figures.cpu || node.figures.memory_used || node.figures.memory_total ||
               node.figures.disk_free || node.figures.booted);
  EXPECT_EQ(node.mac, "aa:bb:cc:00:11:22") << "a group address is no card";
  EXPECT_EQ(nodes.Wake("officepc"), NodeDirectory::Sent::kSent);
  EXPECT_EQ(nodes.Wake("officepc"), NodeDirectory::Sent::kSent);
  loop_.Advance(NodeDirectory::kWakeEveryMs);
  EXPECT_EQ(nodes.Wake("officepc"), NodeDirectory::Sent::kSent);
  using Woken = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(woken_,
            (Woken{{"aa:bb:cc:00:11:22", "192.168.1.20"}, {"aa:bb:cc:00:11:22", "192.168.1.20"}}));
  EXPECT_EQ(nodes.Wake("den"), NodeDirectory::Sent::kUnknown);
  nodes.Recall("den", "aa:bb:cc:00:11:33", "192.168.1.30");
  EXPECT_EQ(nodes.Wake("Den"), NodeDirectory::Sent::kSent);
  EXPECT_EQ(woken_.back(),
            std::make_pair(std::string("aa:bb:cc:00:11:33"), std::string("192.168.1.30")));
}

// Made-up program reports with huge figures and paths, from made-up nodes: every field is
// bounded, and the state as a whole stays within the page's megabyte.
TEST_F(NodeDirectoryTest, MadeUpReportsStayWithinTheStatesBound) {
  NodeDirectory& nodes = Nodes();
  const std::string huge(5000, '9');
  for (int n = 0; n < 40; ++n) {
    for (int p = 0; p < 256; ++p) {
      Heard heard{"qel.Process.pc" + std::to_string(n),
                  "xAP",
                  "process.notification",
                  {{"Path", "/bin/" + std::to_string(p) + std::string(600, 'p')},
                   {"Title", std::string(600, 't')},
                   {"PID", huge},
                   {"CPU", huge},
                   {"RAM", huge},
                   {"Elapsed", "12x"},
                   {"ExitCode", "-3"},
                   {"Signal", huge},
                   {"Priority", huge}}};
      nodes.Hear(heard);
    }
  }
  size_t bytes = 0;
  for (const auto& [key, node] : nodes.nodes()) {
    for (const auto& [path, program] : node.programs) {
      bytes += program.Bytes();
      // PID|CPU|RAM|running time|exit code|signal|priority: the sound ones alone are kept.
      EXPECT_EQ(program.pid + "|" + program.cpu + "|" + program.ram + "|" + program.elapsed + "|" +
                    program.exit_code + "|" + program.signal + "|" + program.priority,
                "0||||-3||");
    }
  }
  EXPECT_LE(bytes, NodeDirectory::kMaxStateBytes);
  EXPECT_GT(bytes, NodeDirectory::kMaxStateBytes / 2);
  EXPECT_THAT(said_, Contains(HasSubstr("fill")).Times(1));
}

// Declared programs take from the same bound, and only a computer that answers declares any,
// in its answer to the gateway's own list request: loose reports of made-up programs declare
// nothing, and a flood of made-up lists is refused once full, not let in by pushing out what
// is kept.
TEST_F(NodeDirectoryTest, MadeUpListsStayWithinTheStatesBound) {
  NodeDirectory& nodes = Nodes();
  const auto entry = [&](const std::string& source, int p) {
    return Heard{source,
                 "xAP",
                 "process.notification",
                 {{"Path", "/bin/" + std::to_string(p) + std::string(400, 'p')},
                  {"PID", "0"},
                  {"Name", "n" + std::to_string(p) + std::string(400, 'n')},
                  {"State", "running"},
                  {"Request", tokens_[source]}}};
  };
  nodes.Hear(entry("qel.Process.stranger", 1));
  for (int n = 0; n < 20; ++n) {
    const std::string source = "qel.Process.pc" + std::to_string(n);
    nodes.Hear(entry(source, 999));  // before it asked: a loose report
    nodes.Hear(Heard{source, "xAP", "echo.response", {{"Response", "varnix-gateway"}}});
    ASSERT_NE(tokens_[source], "") << "no list asked of " << source;
    for (int p = 0; p < 256; ++p) nodes.Hear(entry(source, p));
  }
  for (const auto& [key, node] : nodes.nodes()) {
    for (const ProgramConfig& program : node.declared) {
      EXPECT_EQ(program.name.find("n999"), std::string::npos) << "a loose report declared";
    }
  }
  size_t bytes = 0;
  for (const auto& [key, node] : nodes.nodes()) {
    if (node.computer == "stranger") {
      EXPECT_TRUE(node.declared.empty());
    }
    for (const ProgramConfig& program : node.declared)
      bytes += NodeDirectory::DeclaredBytes(program);
  }
  EXPECT_LE(bytes, NodeDirectory::kMaxStateBytes);
  EXPECT_GT(bytes, NodeDirectory::kMaxStateBytes / 2);
  EXPECT_THAT(said_, Contains(HasSubstr("fill")).Times(1));
}

// Each failed run of a program its node keeps restarting is told once, however the passes
// repeat its end, at most one event every 10 s with the others counted; the node's routine
// and step are not part of what an event says.
TEST_F(NodeDirectoryTest, EachFailedRunIsToldOnceAndEventsReadAsWords) {
  struct Events : NodeObserver {
    void NodeChanged(const NodeState&) override {}
    void ProgramReported(const NodeState&, const ProgramState&) override {}
    void NodeEvent(const NodeState&, const std::string& text) override { said.push_back(text); }
    std::vector<std::string> said;
  } events;
  ProgramConfig flaky;
  flaky.name = "Flaky";
  flaky.id = "flaky";
  flaky.computer = "*";
  flaky.path = "/bin/flaky";
  config_.programs.push_back(flaky);
  Nodes().AddObserver(events);
  const auto hear = [&](const std::string& klass, const std::string& section,
                        NodeDirectory::Items items) {
    Hear("qel.Process.pc1", klass, section, std::move(items));
  };
  hear("xAP", "echo.response", {});
  const auto report = [&](const std::string& pid, const std::string& ended) {
    std::vector<std::pair<std::string, std::string>> items{
        {"Path", "/bin/flaky"}, {"PID", pid}, {"ExitCode", pid == "0" ? "3" : ""}};
    if (!ended.empty()) items.emplace_back("Ended", ended);
    hear("Computer.Process", "process.notification", std::move(items));
  };
  report("0", "");  // its state when the gateway came: no run of ours ended
  report("0", "41");
  report("0", "");  // the pass after it
  report("0", "41");
  loop_.Advance(NodeLogs::kEndWaitMs);  // its last lines, if its node had sent them
  EXPECT_EQ(events.said, std::vector<std::string>{"Flaky ended (exit 3)"});
  report("0", "42");  // within 10 s of the last told
  report("0", "43");
  loop_.Advance(NodeDirectory::kFailureEveryMs);
  report("0", "44");
  loop_.Advance(NodeLogs::kEndWaitMs);
  ASSERT_EQ(events.said.size(), 2u);
  EXPECT_EQ(events.said[1], "Flaky ended (exit 3; 2 more failed runs before it not told)");
  hear("Homeseer.Event", "event.error",
       {{"Data", "ScreenOff Line 0 no X display to turn off (DISPLAY is not set or not open)"}});
  EXPECT_EQ(events.said.back(), "no X display to turn off (DISPLAY is not set or not open)");
}

}  // namespace
}  // namespace varnix
