// Tests of the dispatching wait on a fake clock.
#include "core/cwait_n_dispatch.h"

#include <gtest/gtest.h>

#include "fakes/fake_event_loop.h"

namespace varnix {
namespace {

TEST(CWaitNDispatchTest, WaitsWhileDispatchingAndRefusesToNest) {
  FakeEventLoop loop;
  CWaitNDispatch wait(loop);
  int timers = 0;
  wait.OnTimer([&] { ++timers; });
  wait.Wait(0);
  EXPECT_EQ(timers, 0);
  EXPECT_EQ(loop.dispatches, 0);

  int ticks = 0;
  long nested_error = 0;
  std::string nested_text;
  auto timer = loop.CreateTimer([&] {
    ++ticks;
    try {
      wait.Wait(10);
    } catch (const Error& e) {
      nested_error = e.number();
      nested_text = e.description();
    }
  });
  timer->SetInterval(30);
  timer->SetEnabled(true);
  wait.Wait(100);
  EXPECT_EQ(loop.now(), 100);
  EXPECT_EQ(ticks, 3);
  EXPECT_EQ(timers, 1);
  EXPECT_EQ(nested_error, -2147220503);
  EXPECT_EQ(nested_text,
            "This function is not reentrant. If you want to wait for a second period use a new "
            "object");
  EXPECT_FALSE(wait.IsWaiting());

  // A handler that cancels ends the wait at once.
  timer->SetInterval(0);
  auto canceller = loop.CreateTimer([&] { wait.Cancel(); });
  canceller->SetInterval(20);
  canceller->SetEnabled(true);
  const int64_t start = loop.now();
  wait.Wait(1000);
  EXPECT_EQ(loop.now() - start, 20);
  EXPECT_EQ(timers, 2);
}

}  // namespace
}  // namespace varnix
