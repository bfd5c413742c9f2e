// LogFollowers: those who asked to be told a program's new lines as its relay keeps them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/event_loop.h"
#include "supervision/program_log.h"

namespace varnix {

class LogFollowers {
 public:
  // A follow lasts at most this long unless asked for again; a follower that went away costs
  // nothing after it.
  static constexpr int kMostSeconds = 60;
  // Followers at once, over all programs; more are refused, not pushed out.
  static constexpr size_t kMostFollowers = 8;
  // How often a followed log is looked at: only while someone follows.
  static constexpr int kLookEveryMs = 40;
  // Lines told at once; a follower that falls further behind asks again from its last line.
  static constexpr size_t kMostLines = 200;

  struct Follower {
    std::string target;   // who asked, told by name
    std::string name;     // the log's program, as ProgramLogs knows it
    std::string path;     // as the request named it
    std::string request;  // the asker's token, given back ("" for none)
    uint64_t pushes = 0;  // told so far
  };
  // Tells `lines`, new since the last told, to `follower`, whose `pushes` counts this one
  // from 1. False when they could not be sent now: they are offered again at the next look.
  using Tell = std::function<bool(const Follower& follower, const std::vector<LogLine>& lines)>;

  LogFollowers(EventLoop& loop, ProgramLogs& logs, Tell tell);

  // Follows for `seconds` (at most kMostSeconds), from after `answered`, the lines just told
  // in answer. A follow asked again by the same asker for the same program is renewed.
  // False when too many follow already.
  bool Follow(Follower follower, const std::vector<LogLine>& answered, int seconds);
  // Whether Follow would take this follower now, asked before the answer says so.
  bool HasRoomFor(const Follower& follower) const;
  size_t size() const { return follows_.size(); }

 private:
  struct Followed {
    Follower follower;
    int64_t until_ms = 0;
    uint64_t size = 0;  // of the log when last looked at
    std::string stamp;  // of the last line told
    size_t same = 0;    // lines told with that stamp
  };
  void Look();

  EventLoop& loop_;
  ProgramLogs& logs_;
  Tell tell_;
  std::vector<Followed> follows_;
  std::unique_ptr<Timer> timer_;
};

}  // namespace varnix
