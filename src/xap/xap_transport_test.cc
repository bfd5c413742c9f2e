// Tests of the transport on a fake loop: binding, heartbeats, sending, the receive filter and
// drain.
#include "xap/xap_transport.h"

#include <gtest/gtest.h>

#include "fakes/fake_event_loop.h"
#include "fakes/fake_machine.h"
#include "fakes/recording_error_log.h"
#include "xap/packed_items.h"

namespace varnix {
namespace {

using namespace std::string_literals;

class RecordingReceiver : public MessageReceiver {
 public:
  explicit RecordingReceiver(XapTransport& xap) : xap_(xap) {}
  void onMessage() override {
    ++calls;
    for (std::string text = xap_.GetMessage(); !text.empty(); text = xap_.GetMessage()) {
      texts.push_back(text);
    }
  }
  int calls = 0;
  std::vector<std::string> texts;

 private:
  XapTransport& xap_;
};

class XapTransportTest : public ::testing::Test {
 protected:
  XapTransportTest() {
    xap_.XapSource("qel.Process.PC1");
    xap_.XapUID("FF000800");
  }

  FakeEventLoop::FakeSocket& winsock1() { return loop_.socket(0); }
  FakeEventLoop::FakeSocket& winsock2() { return loop_.socket(1); }

  FakeEventLoop loop_;
  FakeMachine machine_;
  FakeSocketsLayer sockets_;
  RecordingErrorLog log_;
  XapTransport xap_{loop_, machine_, sockets_, log_};
};

TEST_F(XapTransportTest, ChoosesAddressesByMaskAndSetting) {
  machine_.addresses = {"10.0.0.5", "192.168.1.20", "127.0.0.1"};
  xap_.InterfaceAddress("192.168.255.255");
  EXPECT_EQ(xap_.GetIP(), "192.168.1.20");
  xap_.InterfaceAddress("Default");
  EXPECT_EQ(xap_.GetIP(), "10.0.0.5");
  machine_.addresses = {};
  EXPECT_EQ(xap_.GetIP(), "");

  EXPECT_TRUE(XapTransport::IsAddressInMask("255.255.255.255", "10.1.2.3"));
  EXPECT_TRUE(XapTransport::IsAddressInMask("192.168.1.255", "192.168.1.7"));
  EXPECT_FALSE(XapTransport::IsAddressInMask("192.168.1.255", "192.168.2.7"));
  EXPECT_FALSE(XapTransport::IsAddressInMask("Default", "10.1.2.3"));
  EXPECT_FALSE(XapTransport::IsAddressInMask("255.255.255", "10.1.2.3"));
  EXPECT_FALSE(XapTransport::IsAddressInMask("255.255.255.x", "10.1.2.3"));
}

TEST_F(XapTransportTest, SendsToTheConfiguredOrLoopbackAddress) {
  xap_.BroadcastAddress("DEFAULT");
  xap_.Init();
  EXPECT_EQ(xap_.sendAddress(), "255.255.255.255");

  XapTransport other(loop_, machine_, sockets_, log_);
  other.BroadcastAddress("192.168.1.255");
  other.Init();
  EXPECT_EQ(other.sendAddress(), "192.168.1.255");

  // On a computer whose address is loopback, everything goes to loopback on one socket.
  machine_.addresses = {"127.0.0.1"};
  XapTransport alone(loop_, machine_, sockets_, log_);
  alone.BroadcastAddress("192.168.1.255");
  EXPECT_GT(alone.Init(), 0);
  EXPECT_EQ(alone.sendAddress(), "127.0.0.1");
  alone.SendHeartbeat(60);
  EXPECT_EQ(loop_.sent.back().from, "127.0.0.1");

  // There too, no free port is a failure.
  for (uint16_t port = 32768; port < 32968; ++port) loop_.taken_ports.insert(port);
  XapTransport crowded(loop_, machine_, sockets_, log_);
  EXPECT_EQ(crowded.Init(), -1);

  // A local address that cannot be bound is a failure of its own.
  machine_.addresses = {"10.0.0.5"};
  loop_.taken_ports.clear();
  loop_.unbindable_addresses = {"10.0.0.5"};
  XapTransport unbindable(loop_, machine_, sockets_, log_);
  EXPECT_EQ(unbindable.Init(), -99);
}

TEST_F(XapTransportTest, HeartbeatsAreClampedAndSentOnEveryTenthTickOnceAHubRelaysThem) {
  xap_.SendHeartbeat(60);
  EXPECT_EQ(log_.lines,
            std::vector<std::string>{
                "Korvane SendHeartbeat 40 Object variable or With block variable not set"});
  xap_.Init();
  xap_.SendHeartbeat(0);
  EXPECT_FALSE(xap_.HBeatTimer().Enabled());
  EXPECT_NE(loop_.sent.back().text.find("interval=00\n"), std::string::npos);
  xap_.SendHeartbeat(61);
  EXPECT_NE(loop_.sent.back().text.find("interval=600\n"), std::string::npos);
  xap_.SendHeartbeat(3);
  EXPECT_NE(loop_.sent.back().text.find("interval=50\n"), std::string::npos);
  // No hub has relayed it back, so none knows the port yet: told again at every firing.
  loop_.sent.clear();
  loop_.Advance(5000 * 3);
  ASSERT_EQ(loop_.sent.size(), 3u);
  // Relayed back: every tenth firing from then on. A look-alike is not the heartbeat.
  winsock1().Receive(loop_.sent.back().text + " ");
  loop_.Advance(5000);
  ASSERT_EQ(loop_.sent.size(), 4u);
  winsock1().Receive(loop_.sent.back().text);
  loop_.sent.clear();
  loop_.Advance(5000 * 9);
  EXPECT_TRUE(loop_.sent.empty());
  loop_.Advance(5000);
  ASSERT_EQ(loop_.sent.size(), 1u);
  EXPECT_NE(loop_.sent[0].text.find("interval=50\n"), std::string::npos);
  // That one is not relayed (the hub was lost): at every firing again until one is.
  loop_.Advance(5000 * 2);
  EXPECT_EQ(loop_.sent.size(), 3u);
}

TEST_F(XapTransportTest, SendXapWritesOneSectionAndKeepsEachItemOnItsLine) {
  xap_.Init();
  const std::string forged = "x\r\nEvil=1\n}";
  xap_.SendXap("", "Homeseer.Event", "Event.Log",
               "Type\1Korvane\0no mark\0Data\1a\1b\0Title\1"s + forged);
  EXPECT_EQ(loop_.sent.back().text,
            "xap-header\n{\nv=12\nhop=1\nuid=FF000800\nclass=Homeseer.Event\n"
            "source=qel.Process.PC1\n}\nEvent.Log\n{\nType=Korvane\nData=a b\n"
            "Title=x  Evil=1 }\n}\n");
  xap_.SendXap("acme.peer.pc2", "WDT.Echo", "Echo.Response", PackItems({{"Response", "hi"}}));
  EXPECT_NE(loop_.sent.back().text.find("target=acme.peer.pc2\n}\nEcho.Response\n{\nResponse=hi\n"),
            std::string::npos);
}

TEST_F(XapTransportTest, FiltersHeartbeatsAndHandsABatchOverOnce) {
  RecordingReceiver receiver(xap_);
  xap_.RegisterNewMessageCallback(&receiver);
  xap_.Init();
  winsock1().Receive("xap-hbeat\n{\n}\n");
  loop_.Advance(100);
  EXPECT_EQ(receiver.calls, 0);

  winsock1().Receive("XAP-HEADER one");
  winsock2().Receive("xap-headless two");
  winsock1().Receive("xap-header three");
  EXPECT_EQ(receiver.calls, 0);
  loop_.Advance(50);
  EXPECT_EQ(receiver.calls, 1);
  EXPECT_EQ(receiver.texts,
            (std::vector<std::string>{"XAP-HEADER one", "xap-headless two", "xap-header three"}));
  EXPECT_EQ(xap_.GetMessage(), "");

  xap_.FilterHeartbeats(false);
  winsock1().Receive("xap-hbeat\n{\n}\n");
  loop_.Advance(50);
  EXPECT_EQ(receiver.texts.back(), "xap-hbeat\n{\n}\n");
}

TEST_F(XapTransportTest, SteadyTrafficStillReachesTheReceiver) {
  RecordingReceiver receiver(xap_);
  xap_.RegisterNewMessageCallback(&receiver);
  xap_.Init();
  // One text every 20 ms for a second: each batch waits 50 ms at most.
  size_t handed_over_by_then = 0;
  for (int i = 0; i < 50; ++i) {
    winsock1().Receive("xap-header " + std::to_string(i));
    loop_.Advance(20);
    if (i == 2) handed_over_by_then = receiver.texts.size();
  }
  EXPECT_GE(handed_over_by_then, 2u);
  EXPECT_GE(receiver.calls, 15);
  loop_.Advance(50);
  EXPECT_EQ(receiver.texts.size(), 50u);
}

TEST_F(XapTransportTest, BoundsTheQueueAndLogsEachFloodOfDropsOnce) {
  RecordingReceiver receiver(xap_);
  xap_.RegisterNewMessageCallback(&receiver);
  xap_.Init();
  const auto overfill = [&](size_t extra) {
    for (size_t i = 0; i < XapTransport::kMaxQueued + extra; ++i) winsock1().Receive("xap-header");
    EXPECT_EQ(xap_.queued(), XapTransport::kMaxQueued);
  };
  const auto drain = [&] {
    while (!xap_.GetMessage().empty()) {
    }
  };
  // Two bursts with a short lull between them are one flood, and one line.
  overfill(7);
  drain();
  loop_.Advance(300);
  overfill(5);
  drain();
  EXPECT_TRUE(log_.lines.empty()) << "said only once the flood is over";
  // A second without drops ends it; the transport looks again by itself.
  loop_.Advance(1100);
  EXPECT_EQ(log_.lines, std::vector<std::string>{"Korvane ProcessReceivedMessage receive queue "
                                                 "full, 12 messages dropped 0 "});
  loop_.Advance(5000);
  EXPECT_EQ(log_.lines.size(), 1u);
}

TEST_F(XapTransportTest, ReportsTheSocketsLayer) {
  FakeSocketsLayer old;
  old.version = {1, 0};
  old.cleanup_result = 10093;
  { XapTransport transport(loop_, machine_, old, log_); }
  EXPECT_EQ(log_.lines,
            (std::vector<std::string>{
                "Korvane SocketsInitialize Windows Sockets version 1.0 is not supported by "
                "winsock.dll  0 ",
                "Korvane SocketsCleanup 10093 0 "}));
}

}  // namespace
}  // namespace varnix
