// Tests of the hub's rules on a fake loop and clock: whom it relays from, and when it forgets.
#include "hub/hub.h"

#include <gtest/gtest.h>

#include "fakes/fake_event_loop.h"
#include "fakes/fake_file_system.h"

namespace varnix {
namespace {

TEST(AllowListTest, ReadsNetworksAndRefusesWhatIsNotOne) {
  const auto list = AllowList::Parse({"192.168.1.0/24", "10.1.2.3", "172.16.0.0/12"});
  ASSERT_TRUE(list);
  EXPECT_TRUE(list->Allows(*ParseAddress("192.168.1.255")));
  EXPECT_FALSE(list->Allows(*ParseAddress("192.168.2.1")));
  EXPECT_TRUE(list->Allows(*ParseAddress("10.1.2.3")));
  EXPECT_FALSE(list->Allows(*ParseAddress("10.1.2.4")));
  EXPECT_TRUE(list->Allows(*ParseAddress("172.31.255.1")));
  EXPECT_TRUE(AllowList::Parse({"0.0.0.0/0"})->Allows(*ParseAddress("8.8.8.8")));
  for (const char* bad : {"192.168.1.0/33", "192.168.1.0/", "192.168.1/24", "any", "1.2.3.4/x"}) {
    EXPECT_FALSE(AllowList::Parse({bad})) << bad;
  }
}

TEST(HubRulesTest, RelaysFromAllowedSendersOnlyAndForgetsASilentClient) {
  FakeEventLoop loop;
  FakeFileSystem files;
  int64_t now = 1000;
  std::vector<std::string> said;
  Hub::Options options;
  options.allow = *AllowList::Parse({"192.168.1.0/24"});
  Hub hub(
      loop, files, {"10.0.0.5"}, options, [&](const std::string& text) { said.push_back(text); },
      [&] { return now; });
  hub.Start();
  FakeEventLoop::FakeSocket& xap_port = loop.socket(0);
  xap_port.Receive(
      "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00AA00\nclass=xap-hbeat.alive\nsource=acme.app.pc1\n"
      "interval=60\nport=40000\n}\n",
      {0x7F000001, 5000});
  const auto relayed_from = [&](const std::string& sender) {
    loop.sent.clear();
    xap_port.Receive("xap-header\n{\n}\n", {*ParseAddress(sender), 3639});
    return loop.sent.size() == 1 && loop.sent[0].port == 40000;
  };
  EXPECT_TRUE(relayed_from("192.168.1.7")) << "on the allowed network";
  EXPECT_TRUE(relayed_from("10.0.0.5")) << "this computer";
  EXPECT_TRUE(relayed_from("127.0.0.2")) << "this computer";
  EXPECT_FALSE(relayed_from("192.168.2.7"));
  EXPECT_FALSE(relayed_from("8.8.8.8"));
  loop.Advance(Hub::kReportEveryMs);
  ASSERT_FALSE(said.empty());
  EXPECT_EQ(said.back().substr(0, 40), "2 datagrams dropped in the last minute: ");

  // Silent for twice its interval and a minute: forgotten, and nothing goes to its port.
  now += 2 * 60 + 60 - Hub::kExpireEveryMs / 1000;
  loop.Advance(Hub::kExpireEveryMs);
  EXPECT_TRUE(relayed_from("127.0.0.1"));
  now += Hub::kExpireEveryMs / 1000 + 1;
  loop.Advance(Hub::kExpireEveryMs);
  EXPECT_FALSE(relayed_from("127.0.0.1"));
}

}  // namespace
}  // namespace varnix
