// LogFollowers: each followed log looked at while followed, and its new lines told at once.
#include "supervision/log_followers.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "core/steps.h"

namespace varnix {

LogFollowers::LogFollowers(EventLoop& loop, ProgramLogs& logs, Tell tell)
    : loop_(loop), logs_(logs), tell_(std::move(tell)) {}

namespace {

bool IsOf(const LogFollowers::Follower& one, const LogFollowers::Follower& other) {
  return one.target == other.target && one.name == other.name;
}

}  // namespace

bool LogFollowers::HasRoomFor(const Follower& follower) const {
  return follows_.size() < kMostFollowers ||
         std::any_of(follows_.begin(), follows_.end(),
                     [&](const Followed& f) { return IsOf(f.follower, follower); });
}

bool LogFollowers::Follow(Follower follower, const std::vector<LogLine>& answered, int seconds) {
  if (!HasRoomFor(follower)) return false;
  const int64_t until = loop_.NowMilliseconds() + 1000 * std::clamp(seconds, 1, kMostSeconds);
  auto follow = std::find_if(follows_.begin(), follows_.end(),
                             [&](const Followed& f) { return IsOf(f.follower, follower); });
  if (follow == follows_.end()) {
    follows_.emplace_back();
    follow = std::prev(follows_.end());
  }
  follow->follower = std::move(follower);
  follow->until_ms = until;
  Quietly([&] { follow->size = logs_.SizeOf(follow->follower.name); });
  // Told from after the answer's last line; an answer with none leaves the last told as it was.
  if (!answered.empty()) {
    follow->stamp = answered.back().stamp;
    follow->same = static_cast<size_t>(
        std::count_if(answered.begin(), answered.end(),
                      [&](const LogLine& line) { return line.stamp == follow->stamp; }));
  }
  if (!timer_) {
    timer_ = loop_.CreateTimer([this] { Look(); });
    timer_->SetInterval(kLookEveryMs);
  }
  timer_->SetEnabled(true);
  return true;
}

void LogFollowers::Look() {
  const int64_t now = loop_.NowMilliseconds();
  std::erase_if(follows_, [&](const Followed& follow) { return follow.until_ms <= now; });
  for (Followed& follow : follows_) {
    uint64_t size = follow.size;
    Quietly([&] { size = logs_.SizeOf(follow.follower.name); });
    if (size == follow.size) continue;
    // From the last line told, whose millisecond may hold lines not told yet.
    std::vector<LogLine> lines;
    Quietly([&] {
      lines = follow.stamp.empty() ? logs_.Last(follow.follower.name, kMostLines)
                                   : logs_.Last(follow.follower.name, kMostLines + follow.same,
                                                StampMilliseconds(follow.stamp));
    });
    size_t told = 0;
    while (told < follow.same && told < lines.size() && lines[told].stamp == follow.stamp) ++told;
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(told));
    if (lines.empty()) {
      follow.size = size;
      continue;
    }
    // The place moves on only once the lines are sent: refused now (the asker's answers are
    // bounded), they are offered again at the next look rather than lost.
    ++follow.follower.pushes;
    if (!tell_(follow.follower, lines)) {
      --follow.follower.pushes;
      continue;
    }
    follow.size = size;
    size_t same = lines.back().stamp == follow.stamp ? follow.same : 0;
    follow.stamp = lines.back().stamp;
    for (auto line = lines.rbegin(); line != lines.rend() && line->stamp == follow.stamp; ++line) {
      ++same;
    }
    follow.same = same;
  }
  if (follows_.empty()) timer_->SetEnabled(false);
}

}  // namespace varnix
