// The bounds on what log and list answers may make the node send, by one source and by all.
#include "supervision/answer_budget.h"

#include <gtest/gtest.h>

namespace varnix {
namespace {

TEST(AnswerBudgetTest, OneSourceAndAllTogetherAreBoundedAndTheRefusalsSaidOnceAMinute) {
  AnswerBudget budget;
  int64_t now = 0;
  // A page with sixteen logs open, each asked every two seconds for fifty lines in two parts.
  for (int ask = 0; ask < 480; ++ask, now += 125) {
    ASSERT_TRUE(budget.Take("acme.gateway.pc", 50, 2, now)) << ask;
  }
  // A flood from one source is cut at its minute's bound, and a flood of names at the second's.
  now = 120000;
  size_t taken = 0;
  for (int ask = 0; ask < 2000; ++ask, now += 20) {
    taken += budget.Take("evil.x.y", 200, 1, now) ? 1 : 0;
  }
  EXPECT_EQ(taken, AnswerBudget::kLinesPerMinute / 200);
  now += 1000;
  taken = 0;
  for (int ask = 0; ask < 2000; ++ask) {
    taken += budget.Take("evil.x." + std::to_string(ask), 1, 1, now) ? 1 : 0;
  }
  EXPECT_EQ(taken, AnswerBudget::kMessagesPerSecond);
  const std::string said = budget.Refusals(now);
  EXPECT_NE(said.find("Not answered: 3750 requests"), std::string::npos) << said;
  EXPECT_NE(said.find("the last from evil.x.1999"), std::string::npos) << said;
  budget.Take("evil.x.y", 1, 1000, now);
  EXPECT_EQ(budget.Refusals(now + 1000), "") << "said once a minute";
  EXPECT_NE(budget.Refusals(now + 60000), "");
  // A new minute, a new budget.
  EXPECT_TRUE(budget.Take("evil.x.y", 200, 1, now + 60000));
}

}  // namespace
}  // namespace varnix
