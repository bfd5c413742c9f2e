// Tests of the hub's rules on a fake loop and clock: whom it relays from, and when it forgets.
#include "hub/hub.h"

#include <gtest/gtest.h>

#include <set>

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
  FakeEventLoop::FakeSocket& xap_port = loop.bound_to(Hub::kXapPort);
  xap_port.Receive(
      "xap-hbeat\n{\nv=12\nhop=1\nuid=FF00AA00\nclass=xap-hbeat.alive\nsource=acme.app.pc1\n"
      "interval=60\nport=40000\n}\n",
      {0x7F000001, 5000});
  const auto relayed_from = [&](const std::string& sender) {
    loop.sent.clear();
    xap_port.Receive("xap-header\n{\n}\n", {*ParseAddress(sender), 5001});
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

  // Silent for twice its interval and a minute, by the monotonic clock: forgotten, and nothing
  // goes to its port. A step of the wall clock forgets nobody.
  now += 30 * 60;
  loop.Advance((2 * 60 + 60) * 1000 - Hub::kReportEveryMs - Hub::kExpireEveryMs);
  EXPECT_TRUE(relayed_from("127.0.0.1"));
  loop.Advance(2 * Hub::kExpireEveryMs);
  EXPECT_FALSE(relayed_from("127.0.0.1"));
}

// The hub's own ports never become clients, its own datagrams are never relayed again, only
// the registered source says goodbye for a port, and the table has a size.
TEST(HubRulesTest, NeverRelaysToItselfAndKeepsItsTableBounded) {
  FakeEventLoop loop;
  FakeFileSystem files;
  std::vector<std::string> said;
  Hub::Options options;
  options.max_clients = 2;
  options.state_file = "clients.txt";
  // Saved with a time in the future: taken as now, so that it expires in its time.
  files.WriteAll("clients.txt", "3639 60 1000 evil.loop\n41000 60 99999 acme.app.one\n");
  Hub hub(
      loop, files, {}, options, [&](const std::string& text) { said.push_back(text); },
      [] { return int64_t{1000}; });
  hub.Start();
  EXPECT_EQ(hub.clients().clients().size(), 0u) << "the saved ports are not held by anyone";
  FakeEventLoop::FakeSocket& xap_port = loop.bound_to(Hub::kXapPort);
  const auto beat = [&](const std::string& source, int port, bool stopped = false) {
    xap_port.Receive("xap-hbeat\n{\nclass=xap-hbeat." + std::string(stopped ? "stopped" : "alive") +
                         "\nsource=" + source + "\ninterval=60\nport=" + std::to_string(port) +
                         "\n}\n",
                     {0x7F000001, 5000});
  };
  beat("evil.loop", 3639);
  beat("acme.app.one", 41000);
  beat("acme.app.two", 41001);
  beat("acme.app.three", 41002);
  std::set<uint16_t> ports;
  for (const auto& [port, client] : hub.clients().clients()) ports.insert(port);
  EXPECT_EQ(ports, (std::set<uint16_t>{41000, 41001}));
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0],
            "refused to register acme.app.three on port 41002: 2 clients already "
            "(--max-clients)");

  loop.sent.clear();
  xap_port.Receive("xap-header\n{\n}\n", {0x7F000001, 3639});
  EXPECT_TRUE(loop.sent.empty()) << "came from the hub's own port";
  beat("acme.app.two", 41000, /*stopped=*/true);
  EXPECT_EQ(hub.clients().clients().count(41000), 1u) << "not the goodbye of the one registered";
  beat("ACME.App.One", 41000, /*stopped=*/true);
  EXPECT_EQ(hub.clients().clients().count(41000), 0u);

  // Written once the changes have settled, not once per registration.
  EXPECT_EQ(files.ReadAll("clients.txt").find("41001"), std::string::npos);
  loop.Advance(Hub::kSaveAfterMs);
  EXPECT_EQ(files.ReadAll("clients.txt"), "41001 60 999 acme.app.two\n");  // a second ago
}

}  // namespace
}  // namespace varnix
