// NodeLogs: answers taken only for the request they answer, views and waiting ends bounded.
#include "gateway/node_logs.h"

#include <gtest/gtest.h>

#include "fakes/fake_event_loop.h"

namespace varnix {
namespace {

class NodeLogsTest : public ::testing::Test {
 protected:
  // The node's answer to the last request, in `parts` messages of these lines.
  Heard Answer(size_t part, size_t parts, const std::vector<std::string>& lines,
               std::string token = "") {
    Heard heard;
    heard.section = "process.log";
    for (const auto& [name, value] : asked_.back()) {
      if (token.empty() && name == "Request") token = value;
    }
    heard.items = {{"Part", std::to_string(part)},
                   {"Parts", std::to_string(parts)},
                   {"Lines", std::to_string(lines.size())},
                   {"Request", token}};
    for (size_t i = 0; i < lines.size(); ++i) {
      heard.items.emplace_back("Line" + std::to_string(i + 1), lines[i]);
    }
    return heard;
  }

  FakeEventLoop loop_;
  std::vector<NodeLogs::Items> asked_;
  std::vector<std::string> told_;
  NodeLogs logs_{loop_,
                 [this](const std::string& key, const NodeLogs::Items& items) {
                   EXPECT_EQ(key, "pc1");
                   asked_.push_back(items);
                 },
                 [this](const std::string&, const std::string& text) { told_.push_back(text); }};
};

TEST_F(NodeLogsTest, AViewIsAskedAgainEachSecondAndTakesOnlyItsOwnWholeAnswer) {
  const NodeLogs::View* view = logs_.Open("pc1", "/opt/app", "App");
  ASSERT_NE(view, nullptr);
  ASSERT_EQ(asked_.size(), 1u);
  EXPECT_EQ(asked_[0][0], (std::pair<std::string, std::string>{"Action", "log"}));
  EXPECT_EQ(asked_[0][2], (std::pair<std::string, std::string>{"Name", "App"}));
  logs_.Hear("pc1", Answer(1, 1, {"made up"}, "gateway-0-0"));
  logs_.Hear("pc2", Answer(1, 1, {"from another node"}));
  logs_.Hear("pc1", Answer(2, 2, {"b"}));
  EXPECT_FALSE(view->answered) << "half an answer, and strangers' ones";
  logs_.Hear("pc1", Answer(1, 2, {"a"}));
  EXPECT_EQ(view->lines, (std::vector<std::string>{"a", "b"}));
  logs_.Open("pc1", "/opt/app", "App");
  EXPECT_EQ(asked_.size(), 1u) << "asked again within the second";
  loop_.Advance(NodeLogs::kAskAgainMs);
  logs_.Open("pc1", "/OPT/APP", "App");
  EXPECT_EQ(asked_.size(), 2u);
  // Parts that claim more lines than a view holds give no more than it holds.
  std::vector<std::string> many(NodeLogs::kViewLines, "x");
  logs_.Hear("pc1", Answer(1, 2, many));
  logs_.Hear("pc1", Answer(2, 2, many));
  EXPECT_EQ(view->lines.size(), NodeLogs::kViewLines);
  // A forged answer: as many lines as it carries, not as it claims, and its controls shown.
  loop_.Advance(NodeLogs::kAskAgainMs);
  logs_.Open("pc1", "/opt/app", "App");
  Heard forged = Answer(1, 1, {"\x1b]0;owned\x07 EVIL\xe2\x80\xaetxt.exe \xc2\x9b"});
  forged.items[2].second = "1000000000";
  logs_.Hear("pc1", forged);
  EXPECT_EQ(view->lines, std::vector<std::string>{"\\x1b]0;owned\\x07 EVIL\\u202etxt.exe \\u009b"});

  // Views beyond the bound are refused, never pushing out one that is open.
  for (size_t i = 1; i < NodeLogs::kMaxOpen; ++i) {
    EXPECT_NE(logs_.Open("pc1", "/opt/other" + std::to_string(i), ""), nullptr);
  }
  EXPECT_EQ(logs_.Open("pc1", "/opt/one-too-many", ""), nullptr);
  loop_.Advance(NodeLogs::kOpenForMs + 1);
  EXPECT_NE(logs_.Open("pc1", "/opt/one-too-many", ""), nullptr) << "the unasked ones closed";
}

// A node that tells new lines as they are kept is asked only to renew that: the lines it tells
// are added to the view once its answer is whole.
TEST_F(NodeLogsTest, AFollowedViewTakesToldLinesAndIsAskedOnlyToRenew) {
  const NodeLogs::View* view = logs_.Open("pc1", "/opt/app", "App");
  Heard answer = Answer(1, 1, {"a"});
  Heard pushed = Answer(1, 1, {"b", "c"});
  pushed.items.emplace_back("Push", "1");
  logs_.Hear("pc1", pushed);
  EXPECT_TRUE(view->lines.empty()) << "told before the answer was whole";
  answer.items.emplace_back("Following", "30");
  logs_.Hear("pc1", answer);
  logs_.Hear("pc1", pushed);
  EXPECT_EQ(view->lines, (std::vector<std::string>{"a", "b", "c"}));
  loop_.Advance(NodeLogs::kRenewFollowMs - 1);
  logs_.Open("pc1", "/opt/app", "App");
  EXPECT_EQ(asked_.size(), 1u);
  loop_.Advance(1);
  logs_.Open("pc1", "/opt/app", "App");
  EXPECT_EQ(asked_.size(), 2u);
}

TEST_F(NodeLogsTest, AFailedEndIsToldWithItsLastLinesOrWithoutThemInTime) {
  logs_.Ended("pc1", "/opt/backup", "", "Backup", "exit 3");
  EXPECT_TRUE(asked_.empty()) << "asked at once, before its last lines are kept";
  loop_.Advance(NodeLogs::kEndSettleMs);
  ASSERT_EQ(asked_.size(), 1u);
  logs_.Hear("pc1", Answer(1, 1,
                           {"2026-12-08T15:50:01.123+01:00 out copying",
                            "2026-12-08T15:50:02.123+01:00 err disk full"}));
  EXPECT_EQ(told_, std::vector<std::string>{"Backup ended (exit 3): ... copying ... disk full"});

  logs_.Ended("pc1", "/opt/quiet", "", "Quiet", "SIGSEGV");
  loop_.Advance(NodeLogs::kEndWaitMs);
  EXPECT_EQ(told_.back(), "Quiet ended (SIGSEGV)");
}

}  // namespace
}  // namespace varnix
