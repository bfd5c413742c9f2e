#include "supervision/log_followers.h"

#include <gtest/gtest.h>

#include "fakes/fake_event_loop.h"
#include "fakes/fake_file_system.h"

namespace varnix {
namespace {

std::string Line(int second, const std::string& text) {
  return "2026-12-08T15:50:0" + std::to_string(second) + ".000+01:00 out " + text + "\n";
}

struct Told {
  std::string target;
  uint64_t push;
  std::string texts;
};

class LogFollowersTest : public ::testing::Test {
 protected:
  LogFollowers::Follower Asker(const std::string& target) { return {target, "p", "/bin/p", "t1"}; }
  void Write(const std::string& lines) { files_.files["/d/Logs/p.log"] += lines; }

  bool Tell(const LogFollowers::Follower& follower, const std::vector<LogLine>& lines) {
    if (refuse_) return false;
    std::string texts;
    for (const LogLine& line : lines) texts += line.text;
    told_.push_back({follower.target, follower.pushes, texts});
    return true;
  }
  FakeEventLoop loop_;
  FakeFileSystem files_;
  ProgramLogs logs_{files_, "/d/Logs/", "/opt/varnix/varnix-relay", {}};
  std::vector<Told> told_;
  bool refuse_ = false;
  LogFollowers followers_{loop_, logs_,
                          [this](auto& follower, auto& lines) { return Tell(follower, lines); }};
};

// Each new line told once, those of the answer's last millisecond never again, and nothing
// while nothing is written.
TEST_F(LogFollowersTest, NewLinesAreToldOnceAsTheyAreKept) {
  Write(Line(1, "a") + Line(2, "b"));
  ASSERT_TRUE(followers_.Follow(Asker("acme.ctl.one"), logs_.Last("p", 20), 30));
  loop_.Advance(1000);
  EXPECT_TRUE(told_.empty());
  Write(Line(2, "c") + Line(3, "d"));
  loop_.Advance(LogFollowers::kLookEveryMs);
  Write(Line(3, "e"));
  loop_.Advance(LogFollowers::kLookEveryMs);
  ASSERT_EQ(told_.size(), 2u);
  EXPECT_EQ(told_[0].texts, "cd");
  EXPECT_EQ(told_[0].push, 1u);
  EXPECT_EQ(told_[1].texts, "e");
  EXPECT_EQ(told_[1].push, 2u);

  // Lines that could not be sent (the asker's answers are bounded) come at the next look.
  refuse_ = true;
  Write(Line(4, "f"));
  loop_.Advance(LogFollowers::kLookEveryMs);
  refuse_ = false;
  Write(Line(4, "g"));
  loop_.Advance(LogFollowers::kLookEveryMs);
  ASSERT_EQ(told_.size(), 3u);
  EXPECT_EQ(told_[2].texts, "fg");
  EXPECT_EQ(told_[2].push, 3u);
}

// A follow ends when its time does, unless asked for again; followers are bounded, and the
// same asker of the same program is one follower.
TEST_F(LogFollowersTest, AFollowEndsWithItsTimeAndFollowersAreBounded) {
  ASSERT_TRUE(followers_.Follow(Asker("acme.ctl.one"), {}, 1));
  loop_.Advance(800);
  ASSERT_TRUE(followers_.Follow(Asker("acme.ctl.one"), {}, 1));
  EXPECT_EQ(followers_.size(), 1u);
  loop_.Advance(800);
  Write(Line(1, "a"));
  loop_.Advance(LogFollowers::kLookEveryMs);
  ASSERT_EQ(told_.size(), 1u) << "renewed, still followed";
  loop_.Advance(1000);
  Write(Line(2, "b"));
  loop_.Advance(1000);
  EXPECT_EQ(told_.size(), 1u) << "its time is over";
  EXPECT_EQ(followers_.size(), 0u);

  for (size_t i = 0; i < LogFollowers::kMostFollowers; ++i) {
    EXPECT_TRUE(followers_.Follow(Asker("acme.ctl.n" + std::to_string(i)), {}, 600));
  }
  EXPECT_FALSE(followers_.Follow(Asker("acme.ctl.more"), {}, 30));
  loop_.Advance(LogFollowers::kMostSeconds * 1000);
  EXPECT_EQ(followers_.size(), 0u) << "no follow outlasts the most";
}

}  // namespace
}  // namespace varnix
