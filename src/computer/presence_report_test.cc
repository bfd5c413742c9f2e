// Tests of the presence report: what a status answer reads of who is at the computer.
#include "computer/presence_report.h"

#include <gtest/gtest.h>

#include "fakes/fake_event_loop.h"
#include "fakes/fake_machine.h"

namespace varnix {
namespace {

// Each read may be several calls to the system's session manager, so a flood of status
// questions reads it at most once a second.
TEST(PresenceReportTest, IsReadAtMostOnceASecondHoweverManyAsk) {
  FakeMachine machine;
  FakeEventLoop loop;
  machine.presence.session = true;
  machine.presence.user = "alice";
  PresenceReport report(machine, loop, [](const Presence&) {});
  loop.Advance(10);  // its first reading, which tells nothing
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(report.Now().user, "alice");
    loop.Advance(5);
  }
  EXPECT_EQ(machine.presence_reads, 1);
  loop.Advance(500);
  machine.presence.user = "bob";
  EXPECT_EQ(report.Now().user, "bob");
  EXPECT_EQ(machine.presence_reads, 2);
}

}  // namespace
}  // namespace varnix
