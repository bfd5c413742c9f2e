// The real hub between the real node and a peer: registration, relay, drops, stops, restarts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>

#include "system/hub_fixture.h"

namespace varnix {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

class HubTest : public HubFixture {};

TEST_F(HubTest, RelaysBetweenAPeerAndTheNodeAndDropsWhatIsNotXap) {
  // The node registered with its first heartbeat, and said so through the hub.
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  peer_.Send("not xap at all");
  peer_.Send(Echo("through the hub"));
  EXPECT_TRUE(peer_.Hears("Response=through the hub"));
  for (const std::string& text : peer_.received) EXPECT_NE(text, "not xap at all");

  // A second hub cannot take the port (it asks for it a while, as a varnixctl holding it would
  // give it up), and says so by its exit status.
  auto second = StartChildProcess(NativePath(VARNIX_HUB_BINARY, separator_),
                                  {"--state", folder_.path("second.txt")});
  EXPECT_EQ(second->WaitForExit(milliseconds(20000)), 1);
}

TEST_F(HubTest, ARestartedHubRelaysToItsClientsAtOnce) {
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  StopHub();
  hub_process_ = StartChildProcess(NativePath(VARNIX_HUB_BINARY, separator_),
                                   {"--state", folder_.path("hub-clients.txt")});
  // Neither the node nor the peer beats again: the hub took both back from its state file.
  const size_t before = peer_.received.size();
  EXPECT_TRUE(DispatchUntil(*platform_.loop, milliseconds(5000), [&] {
    peer_.Send(Echo("after the restart"));
    return peer_.Hears("Response=after the restart", milliseconds(100));
  }));
  EXPECT_GT(peer_.received.size(), before);
}

// A heartbeat naming the hub's own port, sent or saved, must not make it relay to itself: one
// message reaches each real client once, and the hub stays idle.
TEST_F(HubTest, AHeartbeatNamingTheHubsOwnPortMakesNoLoop) {
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  const std::string loop_beat =
      "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00BB00\nclass=xap-hbeat.alive\nsource=acme.loop.pc\n"
      "interval=60\nport=3639\n}\n";
  for (int round = 0; round < 2; ++round) {
    if (round == 1) {
      // Saved in the state file, as a hub that looped before this mend would have left it.
      StopHub();
      std::string saved = platform_.files->ReadAll(folder_.path("hub-clients.txt"));
      saved += "3639 60 " + std::to_string(std::time(nullptr)) + " acme.loop.pc\n";
      platform_.files->WriteAll(folder_.path("hub-clients.txt"), saved);
      StartHub();
    }
    peer_.Send(loop_beat);
    const double cpu_before = CpuSeconds(hub_process_->Pid());
    peer_.received.clear();
    const std::string once = "once-" + std::to_string(round);
    peer_.Send(XapRequest("acme.nobody.here", "Note\n{\nText=" + once + "\n}\n", "a.b"));
    // Fenced by the node's answer to an echo sent after it, then a second for any copies.
    peer_.Send(Echo("fence " + std::to_string(round)));
    ASSERT_TRUE(peer_.Hears("Response=fence " + std::to_string(round)));
    DispatchUntil(*platform_.loop, milliseconds(1000), [] { return false; });
    EXPECT_THAT(peer_.received, Contains(HasSubstr("Text=" + once)).Times(1));
    // Where there is no /proc (under Wine) both readings are 0.
    EXPECT_LT(CpuSeconds(hub_process_->Pid()) - cpu_before, 0.3) << "the hub is busy";
  }
}

}  // namespace
}  // namespace varnix
