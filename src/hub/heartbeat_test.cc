// Tests of the hub's heartbeat reader and client table.
#include "hub/heartbeat.h"

#include <gtest/gtest.h>

#include "hub/client_table.h"

namespace varnix {
namespace {

TEST(HeartbeatTest, ReadsWhatRegistersAClientAndNothingElse) {
  const auto beat = ReadHeartbeat(
      "XAP-HBEAT\r\n{\r\nv=12\r\nhop=1\r\nuid=FF123400\r\nclass=xAP-hbeat.Alive\r\n"
      "source = acme.tester.pc1 \r\ninterval=60\r\nport=41234\r\n}\r\n");
  ASSERT_TRUE(beat);
  EXPECT_EQ(beat->source, "acme.tester.pc1");
  EXPECT_EQ(beat->interval_seconds, 60);
  EXPECT_EQ(beat->port, 41234);
  EXPECT_FALSE(beat->stopped);

  const auto stopped =
      ReadHeartbeat("xap-hbeat\n{\nclass=xap-hbeat.stopped\nport=99999\ninterval=x\n}\n");
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(stopped->stopped);
  EXPECT_EQ(stopped->port, 0) << "a port out of range is no port";
  EXPECT_EQ(stopped->interval_seconds, 0);

  for (const char* text :
       {"xap-header\n{\nclass=xap-hbeat.alive\n}\n", "xap-hbeat\n{\nsource=a.b.c\n}\n",
        "xap-hbeat\nclass=xap-hbeat.alive\n", "xap-hbeat\n{\nclass=other.thing\nport=1\n}\n", ""}) {
    EXPECT_FALSE(ReadHeartbeat(text)) << text;
  }
  // Items after the header are not the heartbeat's.
  EXPECT_EQ(ReadHeartbeat("xap-hbeat\n{\nclass=xap-hbeat.alive\n}\nport=5\n")->port, 0);
}

std::vector<uint16_t> Ports(const ClientTable& table) {
  std::vector<uint16_t> ports;
  for (const auto& [port, client] : table.clients()) ports.push_back(port);
  return ports;
}

TEST(ClientTableTest, ForgetsSilentOrStoppedClientsAndComesBackFromItsText) {
  using Change = ClientTable::Change;
  ClientTable table;
  EXPECT_EQ(table.Heard({"a.b.one", 60, 40001, false}, 1000), Change::kAdded);
  EXPECT_EQ(table.Heard({"a.b.one", 60, 40001, false}, 1010), Change::kRenewed);
  EXPECT_EQ(table.Heard({"a.b.two", 600, 40002, false}, 1000), Change::kAdded);
  EXPECT_EQ(table.Heard({"a.b.none", 60, 0, false}, 1000), Change::kNone) << "nothing to relay to";

  // Twice the interval and a minute: 180 s for the first, 1,260 s for the second. Saved on
  // the wall clock (here 5,000 s ahead of the monotonic one), read back onto the monotonic.
  const std::string saved = table.Save(1010, 6010);
  EXPECT_TRUE(table.Expire(1010 + 180).empty());
  EXPECT_EQ(table.Expire(1010 + 181), std::vector<uint16_t>{40001});
  EXPECT_EQ(table.Heard({"a.b.two", 600, 40002, true}, 1300), Change::kForgotten);
  EXPECT_TRUE(table.clients().empty());

  const ClientTable restored =
      ClientTable::Load(saved + "garbage line\n70000 5 1000 x\n", 20, 6150);
  EXPECT_EQ(Ports(restored), (std::vector<uint16_t>{40001, 40002}));
  EXPECT_EQ(restored.clients().at(40002).source, "a.b.two");
  EXPECT_EQ(restored.clients().at(40001).heard_at, 20 - 140);
  EXPECT_EQ(Ports(ClientTable::Load(saved, 0, 6010 + 181)), std::vector<uint16_t>{40002});
}

}  // namespace
}  // namespace varnix
