// Tests of who an xAP link hears: never itself, nobody by a wildcard, never another computer
// straight at its LAN port, and a node that signs under one spelling of its address only.
#include "xap/xap_link.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "core/unix_time.h"
#include "fakes/fake_event_loop.h"
#include "hostile_traffic.h"
#include "xap/message_signature.h"

namespace varnix {
namespace {

constexpr uint32_t kLan = 0xC0A80105;  // 192.168.1.5, this computer's LAN address

class XapLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop_.taken_ports.insert(XapLink::kXapPort);  // a hub holds it
    link_.Join();
  }
  FakeEventLoop::FakeSocket& Bound(const std::string& address) {
    for (size_t n = 0;; ++n) {
      try {
        FakeEventLoop::FakeSocket& socket = loop_.socket(n);
        if (socket.bound_address == address && socket.bound_port != 0) return socket;
      } catch (const std::out_of_range& destroyed) {
        if (std::string(destroyed.what()) != "socket destroyed") throw;
      }
    }
  }
  // Whether a report from `source`, arriving at `address` from `from`, is heard.
  bool Heard(const std::string& source, const std::string& address = "127.0.0.1",
             Endpoint from = {0x7F000001, 3639}, const std::string& key = "") {
    heard_.clear();
    std::string text = XapRequest("", "Event.Log\n{\nData=x\n}\n", "Homeseer.Event", source);
    if (!key.empty()) text = SignMessage(text, key, UnixSecondsNow());
    Bound(address).Receive(text, from);
    return !heard_.empty();
  }

  FakeEventLoop loop_;
  std::vector<varnix::Heard> heard_;
  XapLink link_{loop_, "qel.Gateway.gw", "192.168.1.5", "192.168.1.255",
                [this](const varnix::Heard& heard) { heard_.push_back(heard); }};
};

TEST_F(XapLinkTest, HearsOthersOnlyAndTheLanPortOnlyFromThisComputer) {
  EXPECT_TRUE(Heard("qel.Process.pc"));
  EXPECT_FALSE(Heard("qel.Gateway.GW")) << "its own, come back through the hub";
  EXPECT_FALSE(Heard("qel.Gateway.gw:part")) << "its own, with a sub-address";
  EXPECT_FALSE(Heard("qel.Process.*"));
  EXPECT_FALSE(Heard("qel.>"));
  EXPECT_TRUE(Heard("qel.Process.pc", "192.168.1.5", {kLan, 3639})) << "a hub beside it";
  EXPECT_FALSE(Heard("qel.Process.pc", "192.168.1.5", {kLan + 4, 40000}))
      << "another computer straight at the LAN port, past the hub's allow list";
}

TEST_F(XapLinkTest, ANodeHeardSigningIsHeardUnsignedUnderNoSpellingOfItsAddress) {
  const std::string key(32, 'k');
  link_.VerifyWith(key, false);
  EXPECT_TRUE(Heard("qel.Process.OfficePC", "127.0.0.1", {0x7F000001, 3639}, key));
  EXPECT_TRUE(heard_.front().verified);
  for (const char* forged :
       {"qel.Process.OfficePC", "qel.process.officepc:x", "QEL.PROCESS.OFFICEPC:"}) {
    EXPECT_FALSE(Heard(forged)) << forged;
  }
  EXPECT_TRUE(Heard("qel.Process.Unsigned")) << "one that never signs is heard, unverified";
  EXPECT_FALSE(heard_.front().verified);
}

// Signed answers a stranger makes a node send fill the replay cache; a goodbye captured before
// and replayed then is refused with them, never believed because its nonce was pushed out.
TEST_F(XapLinkTest, AFullReplayCacheRefusesAReplayedGoodbye) {
  const std::string key(32, 'k');
  link_.VerifyWith(key, true);
  const std::string goodbye = SignMessage(
      "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00CC00\nclass=xap-hbeat.stopped\nsource=qel.Process.pc"
      "\ninterval=60\nport=40000\n}\n",
      key, UnixSecondsNow());
  FakeEventLoop::FakeSocket& socket = Bound("127.0.0.1");
  socket.Receive(goodbye);
  ASSERT_EQ(heard_.size(), 1u);
  socket.Receive(goodbye);
  EXPECT_EQ(heard_.size(), 1u) << "replayed at once";
  const std::string answer =
      XapRequest("", "Echo.Response\n{\nResponse=x\n}\n", "WDT.Echo", "qel.Process.pc");
  for (size_t i = 0; i <= SignatureCheck::kMaxNonces; ++i) {
    socket.Receive(SignMessage(answer, key, UnixSecondsNow()));
  }
  heard_.clear();
  socket.Receive(goodbye);
  EXPECT_TRUE(heard_.empty()) << "replayed once the cache is full";
}

}  // namespace
}  // namespace varnix
