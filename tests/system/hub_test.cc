// The real hub between the real node and a peer: registration, relay, drops, stops, restarts.
#include <gtest/gtest.h>

#include "system/hub_fixture.h"

namespace varnix {
namespace {

class HubTest : public HubFixture {};

using std::chrono::milliseconds;

TEST_F(HubTest, RelaysBetweenAPeerAndTheNodeAndDropsWhatIsNotXap) {
  // The node registered with its first heartbeat, and said so through the hub.
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  peer_.Send("not xap at all");
  peer_.Send(Echo("through the hub"));
  EXPECT_TRUE(peer_.Hears("Response=through the hub"));
  for (const std::string& text : peer_.received) EXPECT_NE(text, "not xap at all");

  // A second hub cannot take the port, and says so by its exit status.
  auto second = StartChildProcess(NativePath(VARNIX_HUB_BINARY, separator_),
                                  {"--state", folder_.path("second.txt")});
  EXPECT_EQ(second->WaitForExit(milliseconds(5000)), 1);
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

TEST_F(HubTest, AClientThatSaysItStoppedIsForgotten) {
  ASSERT_TRUE(peer_.Hears("Data=Using xAP port"));
  peer_.Beat(/*stopped=*/true);
  DispatchUntil(*platform_.loop, milliseconds(200), [] { return false; });
  peer_.received.clear();
  peer_.Send(Echo("to nobody"));
  EXPECT_FALSE(peer_.Hears("Response=to nobody", milliseconds(1000)));
}

}  // namespace
}  // namespace varnix
