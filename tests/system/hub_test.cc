// The real hub between the real node and a peer: registration, relay, drops, stops, restarts.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "dispatch_until.h"
#include "hostile_traffic.h"
#include "platform/error.h"
#include "platform/udp_socket.h"
#include "system/node_fixture.h"

namespace varnix {
namespace {

using std::chrono::milliseconds;

// An xAP program beside the node: it listens on a port of its own and registers with the hub.
class Peer {
 public:
  explicit Peer(EventLoop& loop) : loop_(loop) {
    socket_ = loop.CreateUdpSocket([this](std::string text) { received.push_back(text); });
    for (port = 41500; port < 42000; ++port) {
      try {
        socket_->Bind("127.0.0.1", port);
        return;
      } catch (const Error&) {
      }
    }
  }
  void Beat(bool stopped = false) {
    Send("xap-hbeat\n{\nv=12\nhop=1\nuid=FF00AA00\nclass=xap-hbeat." +
         std::string(stopped ? "stopped" : "alive") +
         "\nsource=acme.tester.peer\ninterval=60\nport=" + std::to_string(port) + "\n}\n");
  }
  void Send(const std::string& text) { socket_->SendTo("127.0.0.1", 3639, text); }
  // Whether a datagram holding `needle` arrives within `limit` (or has arrived).
  bool Hears(const std::string& needle, milliseconds limit = milliseconds(5000)) {
    return DispatchUntil(loop_, limit, [&] {
      for (const std::string& text : received) {
        if (text.find(needle) != std::string::npos) return true;
      }
      return false;
    });
  }

  uint16_t port = 0;
  std::vector<std::string> received;

 private:
  EventLoop& loop_;
  std::unique_ptr<UdpSocket> socket_;
};

class HubTest : public NodeFixture {
 protected:
  HubTest() : NodeFixture(false) {}
  void SetUp() override {
    StartHub();
    WriteSettings();
    StartNode();
  }
  void TearDown() override {
    if (node_) EndNode();
    StopHub();
  }
  void StartHub() {
    hub_process_ = StartChildProcess(NativePath(VARNIX_HUB_BINARY, separator_),
                                     {"--state", folder_.path("hub-clients.txt")});
    // The hub is up once a beat to it is relayed back to the beating peer.
    ASSERT_TRUE(DispatchUntil(*platform_.loop, milliseconds(5000), [&] {
      peer_.Beat();
      return peer_.Hears("acme.tester.peer", milliseconds(50));
    })) << "the hub did not come up";
  }
  void StopHub() {
    if (!hub_process_) return;
    hub_process_->RequestEnd();
    EXPECT_EQ(hub_process_->WaitForExit(milliseconds(5000)), 0);
    hub_process_.reset();
  }
  std::string Echo(const std::string& text) {
    return EchoRequest(platform_.machine->ComputerName(), text);
  }

  Peer peer_{*platform_.loop};
  std::unique_ptr<ChildProcess> hub_process_;
};

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
