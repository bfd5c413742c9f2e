// The real node program on loopback: its first heartbeat, its port, its folders and its failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/error.h"
#include "platform/text_encoding.h"
#include "settings/ini_tool.h"
#include "system/node_fixture.h"

namespace varnix {
namespace {

class NodeStartupTest : public NodeFixture {};

// The log's lines but the one that says who is at the computer cannot be known, which comes
// or not with the machine the test runs on (a system bus, a local seat).
std::vector<std::string> Notices(std::vector<std::string> lines) {
  std::erase_if(lines, [](const std::string& line) {
    return line.find("Who is at this computer is not known") != std::string::npos;
  });
  return lines;
}

TEST_F(NodeStartupTest, BeatsAnnouncesItsPortAndEndsCleanly) {
  WriteSettings();
  StartNode();
  const std::string heartbeat = hub_->WaitForText("xap-hbeat");
  EXPECT_EQ(heartbeat, ExpectedHeartbeat(32768));
  const std::string notice = hub_->WaitForText("Data=Using xAP port 32768\n");
  EXPECT_NE(notice.find("class=Homeseer.Event\nsource=qel.Process."), std::string::npos) << notice;
  EXPECT_NE(notice.find("\n}\nEvent.Log\n{\nTime="), std::string::npos) << notice;
  EXPECT_NE(notice.find("\nType=Korvane\nData=Using xAP port 32768\n}\n"), std::string::npos);
  EXPECT_EQ(notice.find("target="), std::string::npos);
  EXPECT_TRUE(platform_.files->FolderExists(Path("Data")));

  // The hub relayed the node's own messages back; the node takes them without complaint.
  EXPECT_EQ(EndNode(), 0);
  // Nothing failed: the log holds only the notices that the node is open to every computer,
  // that requests are not authenticated, and that output read over the network is the LAN's.
  const std::vector<std::string> log = Notices(SplitLines(ReadFile("Data/Korvane.txt")));
  ASSERT_EQ(log.size(), 3u) << ReadFile("Data/Korvane.txt");
  EXPECT_NE(log[0].find("Any computer on the network may control this node"), std::string::npos);
  EXPECT_NE(log[1].find("Requests are not authenticated"), std::string::npos);
  EXPECT_NE(log[2].find("any host on the LAN can read"), std::string::npos);
}

// Asked how it is used, the ways people ask on either system, it says so and starts nothing.
TEST_F(NodeStartupTest, SaysHowItIsUsedWhenAskedAndStartsNothing) {
  const std::string said = folder_.path("usage.txt");
  MakeExecutable(node_path_);
  for (const std::string asked : {"--help", "-?", "/?"}) {
    auto node = StartChildProcess(node_path_, {asked}, app_folder_, {}, said);
    EXPECT_EQ(node->WaitForExit(milliseconds(20000)), 0) << asked;
    EXPECT_EQ(platform_.files->ReadAll(said).rfind("usage: varnix", 0), 0u)
        << asked << ": " << platform_.files->ReadAll(said);
  }
  // In the system's own spelling, and naming the relays a user sees beside it.
  const std::string usage = platform_.files->ReadAll(said);
  EXPECT_NE(usage.find(std::string("Config") + separator_ + "settings.ini"), std::string::npos);
  EXPECT_NE(usage.find("varnix-relay"), std::string::npos);
  EXPECT_FALSE(platform_.files->FolderExists(Path("Data"))) << "a node ran";
}

// One node per computer: a second, started from anywhere, says that one runs and ends.
TEST_F(NodeStartupTest, ASecondNodeOnTheSameComputerEndsAtOnce) {
  WriteSettings();
  StartNode();
  ASSERT_NE(hub_->WaitForText("Data=Using xAP port 32768\n"), "");
  const std::string second = folder_.path("second");
  platform_.files->CreateFolder(second);
  const std::string copy =
      second + separator_ + node_path_.substr(node_path_.find_last_of("/\\") + 1);
  platform_.files->Copy(node_path_, copy);
  MakeExecutable(copy);
  const std::string said = folder_.path("second.txt");
  auto other = StartChildProcess(copy, {}, second, {}, said);
  EXPECT_EQ(other->WaitForExit(milliseconds(20000)), 1);
  const std::string expected =
      "Varnix already runs on this computer" +
      (separator_ == '\\' ? std::string() : " as process " + std::to_string(node_->Pid())) +
      "; this one ends";
  EXPECT_NE(platform_.files->ReadAll(said).find("varnix: " + expected), std::string::npos)
      << platform_.files->ReadAll(said);
  EXPECT_NE(hub_->WaitForText("Data=" + expected), "");
  EXPECT_EQ(node_->WaitForExit(milliseconds(0)), std::nullopt) << "the first runs on";
}

TEST_F(NodeStartupTest, TakesTheNextPortWhenTheFirstIsTaken) {
  WriteSettings();
  auto squatter = platform_.loop->CreateUdpSocket([](std::string) {});
  squatter->Bind("127.0.0.1", 32768);
  StartNode();
  EXPECT_EQ(hub_->WaitForText("xap-hbeat"), ExpectedHeartbeat(32769));
  EXPECT_NE(hub_->WaitForText("Data=Using xAP port 32769\n"), "");
}

TEST_F(NodeStartupTest, EndsAtOnceWhenNoPortIsFree) {
  WriteSettings();
  std::vector<std::unique_ptr<UdpSocket>> squatters;
  for (int port = 32768; port < 32968; ++port) {
    squatters.push_back(platform_.loop->CreateUdpSocket([](std::string) {}));
    squatters.back()->Bind("127.0.0.1", static_cast<uint16_t>(port));
  }
  StartNode();
  const std::optional<int> code = node_->WaitForExit(milliseconds(10000));
  ASSERT_TRUE(code.has_value()) << "the node kept running";
  EXPECT_NE(*code, 0);
  node_.reset();
  // On Windows after UTF-8's mark, by which every Notepad reads the file as UTF-8.
  EXPECT_EQ(platform_.files->ReadBytes(Path("Data/Korvane.txt")),
            (separator_ == '\\' ? "\xEF\xBB\xBF" : "") +
                std::string("Korvane xAP Init Error -1 occurred 0 \r\n"));
  EXPECT_TRUE(hub_->received().empty());
}

TEST_F(NodeStartupTest, UsesDefaultsWithoutASettingsFile) {
  // "Default" means broadcast: only safe where the network is private to this test.
  ASSERT_NE(std::getenv("VARNIX_NETWORK_ISOLATED"), nullptr)
      << "run this test through tests/isolated.sh, in a network namespace of its own";
  StartNode();
  const std::string heartbeat = hub_->WaitForText("xap-hbeat");
  EXPECT_EQ(heartbeat, ExpectedHeartbeat(32768));
  EXPECT_TRUE(platform_.files->FolderExists(Path("Config")));
  EXPECT_TRUE(platform_.files->FolderExists(Path("Data")));
  EXPECT_EQ(EndNode(), 0);
  EXPECT_FALSE(FileExists("Config/qelXap.ini"));
}

TEST_F(NodeStartupTest, WorksFromAFolderNamedInAnyScript) {
  // A folder outside a Western code page, as a user's profile name may be.
  UseAppFolder("Программы");
  WriteSettings();
  StartNode();
  ASSERT_NE(hub_->WaitForText("Data=Using xAP port"), "") << "the settings were not read";
  hub_->Relay("xap-header\n{\nv=12\n}");  // a failure the node logs: nothing after "}"
  ASSERT_TRUE(FileHolds(Path("Data/Korvane.txt"), "\r\nFrom XAP", milliseconds(5000)))
      << ReadFile("Data/Korvane.txt");
  EXPECT_EQ(EndNode(), 0);
  // The log names the settings in that folder, in UTF-8 on every system, never as "?".
  std::ifstream file(PathFromText(Path("Data/Korvane.txt")), std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(file), {}};
  EXPECT_NE(bytes.find("Программы"), std::string::npos) << bytes;
}

TEST_F(NodeStartupTest, AFolderThatCannotBeWrittenSendsTheLogsToTheUsersOwn) {
  WriteSettings();
  // Something is in the way of Data, as a folder the user may not write is.
  platform_.files->WriteAll(Path("Data"), "not a folder");
  const std::string state = folder_.path("state");
  StartNode({separator_ == '\\' ? "LOCALAPPDATA=" + state : "XDG_STATE_HOME=" + state});
  const std::string user_data =
      separator_ == '\\' ? state + "\\Varnix\\Data\\" : state + "/varnix/";
  const std::string notice = hub_->WaitForText("cannot be written");
  EXPECT_NE(notice.find("the log files are in " + user_data), std::string::npos) << notice;
  hub_->Relay("xap-header\n{\nv=12\n}");
  const std::string log = user_data + "Korvane.txt";
  std::vector<std::string> lines;
  hub_->WaitFor([&] {
    lines = platform_.files->FileExists(log) ? Notices(SplitLines(platform_.files->ReadAll(log)))
                                             : std::vector<std::string>{};
    return lines.size() >= 5;
  });
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_NE(lines[0].find("cannot be written"), std::string::npos);
  EXPECT_NE(lines[1].find("Any computer on the network"), std::string::npos);
  EXPECT_EQ(lines[4].rfind("From XAP", 0), 0u);
  EXPECT_EQ(EndNode(), 0);
}

}  // namespace
}  // namespace varnix
