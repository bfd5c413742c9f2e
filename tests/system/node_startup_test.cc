// The real node program on loopback: its first heartbeat, its port, its folders and its failures.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/error.h"
#include "system/node_fixture.h"

namespace varnix {
namespace {

using std::chrono::milliseconds;

class NodeStartupTest : public NodeFixture {};

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
  EXPECT_FALSE(FileExists("Data/Korvane.txt")) << ReadFile("Data/Korvane.txt");
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
  EXPECT_EQ(ReadFile("Data/Korvane.txt"), "Korvane xAP Init Error -1 occurred 0 \r\n");
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

}  // namespace
}  // namespace varnix
