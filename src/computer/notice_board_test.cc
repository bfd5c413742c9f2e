// Tests of the notice board: what a request shows, one notice at a time, and what is told of it.
#include "computer/notice_board.h"

#include <gtest/gtest.h>

#include "fakes/fake_event_loop.h"
#include "fakes/fake_machine.h"
#include "fakes/recording_error_log.h"

namespace varnix {
namespace {

class NoticeBoardTest : public testing::Test {
 protected:
  std::string Told(size_t i) {
    std::string text;
    for (const auto& [name, value] : told.at(i)) text += name + "=" + value + "\n";
    return text;
  }

  FakeMachine machine;
  FakeEventLoop loop;
  RecordingErrorLog log;
  std::vector<StatusItems> told;
  NoticeBoard board{machine, loop, log, [this](StatusItems items) { told.push_back(items); }};
};

TEST_F(NoticeBoardTest, ARequestIsCutToItsBounds) {
  const Notice notice = NoticeBoard::Read(
      {std::string(2000, 'x') + "é", "  ", " Yes ;; No;A;B;C", "99999", "", "pc"});
  EXPECT_EQ(notice.text.size(), NoticeBoard::kMostTextBytes);
  EXPECT_EQ(notice.title, "Varnix");
  EXPECT_EQ(notice.actions, (std::vector<std::string>{"Yes", "No", "A", "B"}));
  EXPECT_EQ(notice.timeout.count(), NoticeBoard::kMostTimeoutSeconds);
  // A cut never splits a character: "é" is two bytes, and only its first would fit.
  EXPECT_EQ(NoticeBoard::Read({std::string(1023, 'x') + "é", "", "", "x", "", ""}).text.size(),
            1023u);
  EXPECT_EQ(NoticeBoard::Read({"", "", "", "x", "", ""}).timeout.count(),
            NoticeBoard::kDefaultTimeoutSeconds);
}

TEST_F(NoticeBoardTest, AnAnswerIsToldOnceAndTheNoticeGoes) {
  board.Show({"Dinner", "Home", "Yes;No", "30", "r1", "ha"});
  ASSERT_EQ(machine.notices.size(), 1u);
  EXPECT_EQ(machine.notices[0].timeout.count(), 30);
  machine.answer_notice({"No", ""});
  EXPECT_EQ(Told(0), "Title=Home\nRequest=r1\nOutcome=answered\nAction=No\n");
  loop.Advance(5);
  EXPECT_EQ(machine.notices_open, 0);
  // Put away without an answer; then one nobody answers, which is taken away at its time.
  board.Show({"Tea", "", "", "10", "", "ha"});
  machine.answer_notice({"", ""});
  loop.Advance(5);
  board.Show({"Lunch", "", "", "10", "", "ha"});
  loop.Advance(9000);
  EXPECT_EQ(told.size(), 2u);
  loop.Advance(1100);
  EXPECT_EQ(Told(1), "Title=Varnix\nOutcome=dismissed\n");
  EXPECT_EQ(Told(2), "Title=Varnix\nOutcome=no answer\n");
  EXPECT_EQ(machine.notices_open, 0);
}

TEST_F(NoticeBoardTest, AFloodShowsOneAndIsSaidOnce) {
  board.Show({"First", "", "", "", "", "a"});
  for (int i = 0; i < 100; ++i) board.Show({"More", "", "", "", "", "b"});
  EXPECT_EQ(machine.notices.size(), 1u);
  EXPECT_EQ(log.lines.size(), 1u);
  EXPECT_TRUE(told.empty());
  // Once it has gone, the next is shown, and a new flood is said once more.
  machine.answer_notice({"", ""});
  loop.Advance(5);
  board.Show({"Next", "", "", "", "", "a"});
  board.Show({"More", "", "", "", "", "b"});
  EXPECT_EQ(machine.notices.size(), 2u);
  EXPECT_EQ(log.lines.size(), 2u);
}

TEST_F(NoticeBoardTest, ANoticeThatCannotBeShownSaysWhy) {
  machine.notice_problem = "nobody is at the computer (no active local session)";
  board.Show({"Hello", "", "", "", "", "a"});
  EXPECT_EQ(Told(0),
            "Title=Varnix\nOutcome=not shown\nProblem=nobody is at the computer (no active local "
            "session)\n");
  ASSERT_EQ(log.lines.size(), 1u);
  // Failing later, as Windows may once its thread has run, is told the same way.
  machine.notice_problem.clear();
  board.Show({"Hello", "", "", "", "", "a"});
  machine.answer_notice({"", "Windows did not show it"});
  EXPECT_EQ(Told(1), "Title=Varnix\nOutcome=not shown\nProblem=Windows did not show it\n");
  loop.Advance(5);
  EXPECT_FALSE(board.Showing());
}

}  // namespace
}  // namespace varnix
