// The real hub, with the real node beside it and a peer that registers the xAP way.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "dispatch_until.h"
#include "hostile_traffic.h"
#include "platform/error.h"
#include "platform/udp_socket.h"
#include "system/node_fixture.h"

namespace varnix {

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
  void Beat() {
    Send(
        "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00AA00\nclass=xap-hbeat.alive\n"
        "source=acme.tester.peer\ninterval=60\nport=" +
        std::to_string(port) + "\n}\n");
  }
  void Send(const std::string& text) { socket_->SendTo("127.0.0.1", 3639, text); }
  // Whether a datagram holding `needle` arrives within `limit` (or has arrived).
  bool Hears(const std::string& needle, milliseconds limit = milliseconds(5000)) {
    return DispatchUntil(loop_, limit, [&] { return FirstWith(received, needle) != nullptr; });
  }

  uint16_t port = 0;
  std::vector<std::string> received;

 private:
  EventLoop& loop_;
  std::unique_ptr<UdpSocket> socket_;
};

class HubFixture : public NodeFixture {
 protected:
  HubFixture() : NodeFixture(false) {}
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
                                     {"-v", "--state", folder_.path("hub-clients.txt")}, "", {},
                                     folder_.path("hub.log"));
    // The hub is up once a beat to it is relayed back to the beating peer: by this hub, not
    // an earlier one.
    peer_.received.clear();
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
  // Ends the node and hears out what it said, its goodbye last: the hub relays late on a busy
  // machine, and a notice of the last node must not pass for one of the next.
  void EndNodeAndHearItOut() {
    EXPECT_EQ(EndNode(), 0);
    EXPECT_TRUE(peer_.Hears("class=xap-hbeat.stopped\nsource=" + Target()));
    peer_.received.clear();
  }

  Peer peer_{*platform_.loop};
  std::unique_ptr<ChildProcess> hub_process_;
};

}  // namespace varnix
