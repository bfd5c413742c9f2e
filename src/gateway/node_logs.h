// Programs' last lines, asked of their nodes: for the page's log view, and for the event that
// tells of a program's failed end.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/event_loop.h"
#include "xap/xap_link.h"

namespace varnix {

class NodeLogs {
 public:
  using Items = std::vector<std::pair<std::string, std::string>>;
  // Sends a Process.Control request to the node of that key.
  using Ask = std::function<void(const std::string& node_key, const Items& items)>;
  // Tells an event of the node of that key.
  using Tell = std::function<void(const std::string& node_key, const std::string& text)>;

  // Views the page may hold open at once, over all nodes: more are refused, not pushed out.
  static constexpr size_t kMaxOpen = 16;
  static constexpr size_t kViewLines = 50;
  static constexpr int64_t kAskAgainMs = 1000;
  // A node that tells a view's new lines as they are kept (Follow=) is asked again only to
  // renew that, before it ends.
  static constexpr int kFollowSeconds = 30;
  static constexpr int64_t kRenewFollowMs = 20000;
  // A view the page has not asked for this long is closed.
  static constexpr int64_t kOpenForMs = 30000;
  // Failed ends waiting for their lines: more are told at once, without them.
  static constexpr size_t kMaxEnds = 64;
  static constexpr size_t kEndLines = 3;
  // A program's last lines reach its log a moment after its end reaches the node.
  static constexpr int64_t kEndSettleMs = 300;
  static constexpr int64_t kEndWaitMs = 3000;
  static constexpr size_t kMaxLineBytes = 512;

  // `key`: the access key, which opens the lines of nodes that seal them ("" for none).
  NodeLogs(EventLoop& loop, Ask ask, Tell tell, std::string key = "");

  struct View {
    std::vector<std::string> lines;  // as the node gives them: "STAMP MARK TEXT", oldest first
    bool answered = false;           // the node has answered at least once
  };
  // The last lines of a program, as last told: none at the first call, which asks for them;
  // asked again once a second while the page asks. nullptr when too many views are open.
  const View* Open(const std::string& node_key, const std::string& path, const std::string& name);
  // A program ended with a failure (`how`: "exit 3"): told as "SHOWN ended (exit 3): ..."
  // with its last lines once they come, or without them after kEndWaitMs. `name` is the name
  // its node declares it by, "" for none; so for Open.
  void Ended(const std::string& node_key, const std::string& path, const std::string& name,
             const std::string& shown, const std::string& how);
  // Takes a Process.Log message of the node of that key that answers one of our requests;
  // any other is nobody's and is dropped.
  void Hear(const std::string& node_key, const Heard& heard);
  void Forget(const std::string& node_key);

 private:
  // One request's answer, gathered from its parts.
  struct Answer {
    std::string token;
    size_t parts = 0;
    std::map<size_t, std::vector<std::string>> got;
    bool Whole() const { return parts > 0 && got.size() == parts; }
    std::vector<std::string> Lines() const;
  };
  struct OpenView {
    View view;
    Answer answer;
    bool following = false;  // the node tells the new lines of the answer's request
    int64_t asked_ms = 0;
    int64_t wanted_ms = 0;
  };
  struct End {
    std::string node_key;
    std::string path;
    std::string name;
    std::string shown;
    std::string how;
    Answer answer;
    int64_t ended_ms = 0;
    bool asked = false;
  };

  std::string Request(const std::string& node_key, const std::string& path, const std::string& name,
                      size_t lines, int follow_seconds = 0);
  // New lines a node told of its own accord, for the view that follows them.
  void HearPushed(OpenView& open, const Heard& heard);
  void Due();
  void TellEnd(const End& end, const std::vector<std::string>& lines);

  EventLoop& loop_;
  Ask ask_;
  Tell tell_;
  std::string key_;
  std::map<std::pair<std::string, std::string>, OpenView> views_;  // by node key and path
  std::vector<End> ends_;
  std::unique_ptr<Timer> timer_;  // on only while ends wait
  uint32_t run_ = 0;              // tells this gateway's requests from an earlier run's
  uint64_t requests_ = 0;
};

}  // namespace varnix
