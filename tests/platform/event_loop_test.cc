// Tests of the system's event loop and UDP sockets: real timers, real loopback datagrams.
#include "platform/event_loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "dispatch_until.h"
#include "platform/error.h"
#include "platform/platform.h"

namespace varnix {
namespace {

class EventLoopTest : public ::testing::Test {
 protected:
  // Dispatches until `done` holds or the deadline passes; returns whether it held.
  template <typename Done>
  bool DispatchUntil(Done done, milliseconds limit = milliseconds(3000)) {
    return varnix::DispatchUntil(loop(), limit, done);
  }

  // A port that nothing else on loopback is bound to right now.
  uint16_t FreePort() {
    for (uint16_t port = 41000; port < 42000; ++port) {
      auto probe = loop().CreateUdpSocket([](std::string) {});
      try {
        probe->Bind("127.0.0.1", port);
        return port;
      } catch (const Error&) {
      }
    }
    ADD_FAILURE() << "no free loopback port";
    return 0;
  }

  // A receiver bound to a free loopback port, keeping what arrives, and a sender.
  void Listen() {
    port_ = FreePort();
    receiver_ = loop().CreateUdpSocket([&](std::string text) { received_.push_back(text); });
    receiver_->Bind("127.0.0.1", port_);
  }
  void Send(const std::string& text) { sender_->SendTo("127.0.0.1", port_, text); }

  EventLoop& loop() { return *platform_.loop; }

  Platform platform_ = MakePlatform();
  uint16_t port_ = 0;
  std::vector<std::string> received_;
  std::unique_ptr<UdpSocket> receiver_;
  std::unique_ptr<UdpSocket> sender_ = loop().CreateUdpSocket([](std::string) {});
};

TEST_F(EventLoopTest, TimersFireAtTheirIntervalsAndInOrder) {
  std::vector<std::string> fired;
  auto fast = loop().CreateTimer([&] { fired.push_back("fast"); });
  auto slow = loop().CreateTimer([&] { fired.push_back("slow"); });
  auto idle = loop().CreateTimer([&] { fired.push_back("idle"); });
  idle->SetInterval(10);  // never enabled: never fires
  const auto start = Clock::now();
  slow->SetInterval(250);
  slow->SetEnabled(true);
  fast->SetInterval(100);
  fast->SetEnabled(true);
  ASSERT_TRUE(DispatchUntil([&] { return fired.size() >= 3; }));
  const auto elapsed = Clock::now() - start;
  EXPECT_EQ(fired, (std::vector<std::string>{"fast", "fast", "slow"}));
  EXPECT_GE(elapsed, milliseconds(240));
  EXPECT_LT(elapsed, milliseconds(1500));
}

TEST_F(EventLoopTest, ANewIntervalRestartsTheCountAndDisablingStopsTicks) {
  int ticks = 0;
  auto timer = loop().CreateTimer([&] { ++ticks; });
  timer->SetInterval(150);
  timer->SetEnabled(true);
  const auto start = Clock::now();
  // Re-arming every 50 ms keeps the timer from ever reaching 150 ms.
  while (Clock::now() - start < milliseconds(400)) {
    loop().DispatchPending(milliseconds(50));
    timer->SetInterval(150);
  }
  EXPECT_EQ(ticks, 0);
  ASSERT_TRUE(DispatchUntil([&] { return ticks == 1; }));
  timer->SetEnabled(false);
  EXPECT_FALSE(timer->Enabled());
  const auto stopped = Clock::now();
  while (Clock::now() - stopped < milliseconds(350)) loop().DispatchPending(milliseconds(50));
  EXPECT_EQ(ticks, 1);
}

TEST_F(EventLoopTest, ATimerMayDestroyItselfInItsHandler) {
  int ticks = 0;
  std::unique_ptr<Timer> timer = loop().CreateTimer([&] {
    ++ticks;
    timer.reset();
  });
  timer->SetInterval(10);
  timer->SetEnabled(true);
  ASSERT_TRUE(DispatchUntil([&] { return timer == nullptr; }));
  loop().DispatchPending(milliseconds(50));
  EXPECT_EQ(ticks, 1);
}

TEST_F(EventLoopTest, ANestedDispatchDeliversADatagramAndFiresAnotherTimer) {
  Listen();

  int inner_ticks = 0;
  auto inner = loop().CreateTimer([&] { ++inner_ticks; });
  bool nested_done = false;
  std::unique_ptr<Timer> outer;
  outer = loop().CreateTimer([&] {
    outer->SetEnabled(false);
    Send("during the wait");
    inner->SetInterval(30);
    inner->SetEnabled(true);
    // The handler waits while still letting the loop run.
    const auto until = Clock::now() + milliseconds(300);
    while (Clock::now() < until && (received_.empty() || inner_ticks == 0)) {
      loop().DispatchPending(milliseconds(50));
    }
    nested_done = true;
  });
  outer->SetInterval(10);
  outer->SetEnabled(true);
  ASSERT_TRUE(DispatchUntil([&] { return nested_done; }));
  EXPECT_EQ(received_, std::vector<std::string>{"during the wait"});
  EXPECT_GE(inner_ticks, 1);
}

TEST_F(EventLoopTest, DatagramsArriveWholeAndInOrder) {
  Listen();
  std::string big(60000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  const std::string with_nul("a\0b\nc", 5);
  for (const std::string& text : {std::string("first"), big, with_nul}) Send(text);
  ASSERT_TRUE(DispatchUntil([&] { return received_.size() == 3; }));
  EXPECT_EQ(received_, (std::vector<std::string>{"first", big, with_nul}));
}

TEST_F(EventLoopTest, BindingATakenPortFailsWithANumber) {
  const uint16_t port = FreePort();
  auto first = loop().CreateUdpSocket([](std::string) {});
  first->Bind("127.0.0.1", port);
  auto second = loop().CreateUdpSocket([](std::string) {});
  try {
    second->Bind("127.0.0.1", port);
    FAIL() << "a second bind of port " << port << " succeeded";
  } catch (const Error& e) {
    EXPECT_GT(e.number(), 0);
    EXPECT_FALSE(e.description().empty());
  }
  // Once closed, the port can be bound again.
  first->Close();
  EXPECT_NO_THROW(second->Bind("127.0.0.1", port));
}

TEST_F(EventLoopTest, ASocketClosedByItsOwnHandlerStopsDelivering) {
  const uint16_t port = FreePort();
  int delivered = 0;
  std::unique_ptr<UdpSocket> receiver;
  receiver = loop().CreateUdpSocket([&](std::string) {
    ++delivered;
    receiver->Close();
  });
  receiver->Bind("127.0.0.1", port);
  sender_->SendTo("127.0.0.1", port, "one");
  sender_->SendTo("127.0.0.1", port, "two");
  ASSERT_TRUE(DispatchUntil([&] { return delivered > 0; }));
  loop().DispatchPending(milliseconds(100));
  EXPECT_EQ(delivered, 1);
}

}  // namespace
}  // namespace varnix
