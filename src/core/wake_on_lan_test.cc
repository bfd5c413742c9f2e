// Tests of the magic packet, the MACs taken, and the one address a wake may go to.
#include "core/wake_on_lan.h"

#include <gtest/gtest.h>

namespace varnix {
namespace {

TEST(WakeOnLanTest, TakesOnlyOneCardsMacAsWritten) {
  EXPECT_EQ(NormalMac("AA-bb-0C-dd-EE-f0"), "aa:bb:0c:dd:ee:f0");
  EXPECT_EQ(NormalMac("02:00:00:00:00:01"), "02:00:00:00:00:01");
  for (const char* refused : {"", "aa:bb:cc:dd:ee", "aa:bb:cc:dd:ee:ff:00", "aa:bb-cc:dd:ee:f0",
                              "aa.bb.cc.dd.ee.f0", "ag:bb:cc:dd:ee:f0", "00:00:00:00:00:00",
                              "ff:ff:ff:ff:ff:ff", "01:00:5e:00:00:01", "aa:bb:cc:dd:ee:f\n"}) {
    EXPECT_EQ(NormalMac(refused), "") << refused;
  }
}

TEST(WakeOnLanTest, ThePacketIsSixOnesThenTheMacSixteenTimes) {
  const std::string packet = MagicPacket("00:1a:2b:3c:4d:fe");
  ASSERT_EQ(packet.size(), 102u);
  EXPECT_EQ(packet.substr(0, 6), std::string(6, '\xFF'));
  for (size_t at = 6; at < packet.size(); at += 6) {
    EXPECT_EQ(packet.substr(at, 6), std::string("\x00\x1a\x2b\x3c\x4d\xfe", 6)) << at;
  }
}

TEST(WakeOnLanTest, GoesOnlyToTheBroadcastOfANetworkThisComputerIsOn) {
  const std::vector<std::string> networks = {"127.0.0.1/8", "10.254.0.1/24", "192.168.7.9/20",
                                             "172.16.0.1/31", "garbage"};
  EXPECT_EQ(DirectedBroadcast("10.254.0.77", networks), "10.254.0.255");
  EXPECT_EQ(DirectedBroadcast("192.168.1.2", networks), "192.168.15.255");
  // Loopback wakes nothing; a point-to-point link has no broadcast; another LAN is not ours.
  for (const char* none : {"127.0.0.1", "172.16.0.0", "10.254.1.1", "", "10.254.0"}) {
    EXPECT_EQ(DirectedBroadcast(none, networks), "") << none;
  }
}

}  // namespace
}  // namespace varnix
